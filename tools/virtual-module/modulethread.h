#pragma once

#include "moduleoptions.h"
#include "virtualmodule.h"

#include <QHostAddress>
#include <QThread>

class ModuleGroup;

// A ModuleGroup on a thread of its own, for tests and benchmarks whose own
// thread blocks (a blocking client, or waiting for an upload worker) while
// the modules must keep answering. Every call waits until the modules'
// thread has carried it out.
class ModuleThread
{
public:
    ModuleThread();
    ~ModuleThread();
    ModuleThread(const ModuleThread &) = delete;
    ModuleThread &operator=(const ModuleThread &) = delete;

    // As ModuleGroup::start.
    bool start(int count, const ModuleOptions &options, QString *error = nullptr);
    int count();

    // Runs `work` with the group on the modules' thread and waits for it;
    // the way to anything else, such as connecting to a module's signals.
    template<typename Work> void run(Work work)
    {
        QMetaObject::invokeMethod(
            context, [this, &work] { work(*group); }, Qt::BlockingQueuedConnection);
    }

    QHostAddress address(int index);
    quint16 dataPort(int index);
    quint16 atPort(int index);
    QByteArray flash(int index);
    void setFlash(int index, const QByteArray &contents);
    ModuleCounters counters(int index);
    void setFaults(int index, const FaultOptions &faults);
    void setLink(int index, const LinkOptions &link);
    void setSimulationSpeed(int index, double factor);

private:
    QThread thread;
    QObject *context = nullptr; // lives on the thread; the group is its child
    ModuleGroup *group = nullptr;
};
