// virtual-module: simulated Wi-Fi serial bridge modules with their boards,
// for tests, benchmarks and a demo without hardware. See --help.
#include "modulecommandline.h"
#include "modulegroup.h"
#include "processsignals.h"
#include "virtualmodule.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Running
{
    VirtualModule *module;
    QString flashOut;
};

bool writeFlashFiles(const QList<Running> &modules)
{
    bool ok = true;
    for (const Running &r : modules) {
        QString error;
        if (!r.flashOut.isEmpty() && !r.module->writeFlash(r.flashOut, &error)) {
            std::fprintf(stderr, "virtual-module: %s\n", qPrintable(error));
            ok = false;
        }
    }
    return ok;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    VirtualModuleCommandLine commandLine;
    QString error;
    if (!parseVirtualModuleCommandLine(arguments, &commandLine, &error)) {
        std::fprintf(stderr, "virtual-module: %s\nTry \"virtual-module --help\".\n",
                     qPrintable(error));
        return kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(qPrintable(virtualModuleUsage()), stdout);
        return kExitOk;
    }

    // Before anything listens: a signal sent as soon as "ready" shows must
    // find its handler.
    ProcessSignals signalsToLoop;
    QObject::connect(&signalsToLoop, &ProcessSignals::exitRequested, &application,
                     &QCoreApplication::quit);

    QFile logFile;
    QTextStream logStream;
    if (!commandLine.logPath.isEmpty()) {
        logFile.setFileName(commandLine.logPath);
        if (!logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            std::fprintf(stderr, "virtual-module: cannot open the log %s: %s\n",
                         qPrintable(commandLine.logPath), qPrintable(logFile.errorString()));
            return kExitFailed;
        }
        logStream.setDevice(&logFile);
    }

    ModuleGroup group;
    QList<Running> modules;
    for (ModuleGroupSetup setup : qAsConst(commandLine.groups)) {
        if (!setup.flashIn.isEmpty()) {
            QFile in(setup.flashIn);
            if (!in.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "virtual-module: cannot read %s: %s\n",
                             qPrintable(setup.flashIn), qPrintable(in.errorString()));
                return kExitFailed;
            }
            setup.options.initialFlash = in.readAll();
        }
        const int before = group.count();
        if (!group.start(setup.count, setup.options, &error)) {
            std::fprintf(stderr, "virtual-module: %s\n", qPrintable(error));
            return kExitFailed;
        }
        for (int i = before; i < group.count(); ++i) {
            VirtualModule *module = group.module(i);
            modules.append({ module,
                             setup.flashOut.isEmpty()
                                 ? QString()
                                 : flashOutPath(setup.flashOut, module->address(), i + 1) });
        }
    }

    for (const Running &r : qAsConst(modules)) {
        if (logFile.isOpen()) {
            QObject::connect(r.module, &VirtualModule::logLine, &group,
                             [&logStream](const QString &line) {
                                 logStream << line << '\n';
                                 logStream.flush();
                             });
            r.module->setLogging(true);
        }
        if (!r.flashOut.isEmpty()) {
            const auto write = [r] { writeFlashFiles({ r }); };
            QObject::connect(r.module, &VirtualModule::dataDisconnected, &group, write);
            QObject::connect(r.module, &VirtualModule::bootloaderLeft, &group, write);
        }
    }

    if (!commandLine.quiet) {
        for (int i = 0; i < modules.size(); ++i) {
            const VirtualModule *module = modules.at(i).module;
            std::printf("module %d address=%s data-port=%u at-port=%u name=%s board=%s\n", i + 1,
                        qPrintable(module->address().toString()), unsigned(module->dataPort()),
                        unsigned(module->atPort()), qPrintable(module->name()),
                        qPrintable(boardTypeName(module->board())
                                   + (module->simulated() ? QStringLiteral("-sim") : QString())));
        }
        std::printf("ready\n");
        std::fflush(stdout);
    }

    QObject::connect(&signalsToLoop, &ProcessSignals::flashDumpRequested, &group,
                     [&modules] { writeFlashFiles(modules); });
    if (commandLine.exitAfterMs > 0)
        QTimer::singleShot(commandLine.exitAfterMs, &application, &QCoreApplication::quit);

    QCoreApplication::exec();
    group.stop();
    const bool written = writeFlashFiles(modules);
    if (!commandLine.quiet) {
        int lost = 0;
        for (const Running &r : qAsConst(modules))
            lost += r.module->counters().bytesLost;
        std::printf("exit lost-bytes=%d\n", lost);
        std::fflush(stdout);
    }
    return written ? kExitOk : kExitFailed;
}
