#include "modulethread.h"

#include "modulegroup.h"

ModuleThread::ModuleThread()
{
    context = new QObject;
    group = new ModuleGroup(context);
    context->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, context, &QObject::deleteLater);
    thread.setObjectName(QStringLiteral("virtual modules"));
    thread.start();
}

ModuleThread::~ModuleThread()
{
    // The modules' sockets must go on their own thread.
    run([](ModuleGroup &modules) { modules.stop(); });
    thread.quit();
    thread.wait();
}

bool ModuleThread::start(int count, const ModuleOptions &options, QString *error)
{
    bool started = false;
    run([&](ModuleGroup &modules) { started = modules.start(count, options, error); });
    return started;
}

int ModuleThread::count()
{
    int n = 0;
    run([&n](ModuleGroup &modules) { n = modules.count(); });
    return n;
}

QHostAddress ModuleThread::address(int index)
{
    QHostAddress value;
    run([&](ModuleGroup &modules) { value = modules.module(index)->address(); });
    return value;
}

quint16 ModuleThread::dataPort(int index)
{
    quint16 value = 0;
    run([&](ModuleGroup &modules) { value = modules.module(index)->dataPort(); });
    return value;
}

quint16 ModuleThread::atPort(int index)
{
    quint16 value = 0;
    run([&](ModuleGroup &modules) { value = modules.module(index)->atPort(); });
    return value;
}

QByteArray ModuleThread::flash(int index)
{
    QByteArray value;
    run([&](ModuleGroup &modules) { value = modules.module(index)->flash(); });
    return value;
}

void ModuleThread::setFlash(int index, const QByteArray &contents)
{
    run([&](ModuleGroup &modules) { modules.module(index)->setFlash(contents); });
}

ModuleCounters ModuleThread::counters(int index)
{
    ModuleCounters value;
    run([&](ModuleGroup &modules) { value = modules.module(index)->counters(); });
    return value;
}

void ModuleThread::setFaults(int index, const FaultOptions &faults)
{
    run([&](ModuleGroup &modules) { modules.module(index)->setFaults(faults); });
}

void ModuleThread::setLink(int index, const LinkOptions &link)
{
    run([&](ModuleGroup &modules) { modules.module(index)->setLink(link); });
}

void ModuleThread::setSimulationSpeed(int index, double factor)
{
    run([&](ModuleGroup &modules) { modules.module(index)->setSimulationSpeed(factor); });
}
