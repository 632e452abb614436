#pragma once

#include "testkit.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// The virtual-module program run by a test: started with a bounded lifetime,
// its "module ..." lines read until "ready".
class ModuleProcess
{
public:
    static constexpr int kStartMs = TestKit::kProcessStartMs;
    static constexpr int kStopMs = TestKit::kProcessStopMs;
    // Every process a test starts ends by itself at the latest after this.
    static constexpr int kLifetimeSeconds = 120;

    struct Module
    {
        QHostAddress address;
        quint16 dataPort = 0;
        quint16 atPort = 0;
        QString name;
        QString board;
    };

    ~ModuleProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(kStopMs))
                process.kill();
            process.waitForFinished(kStopMs);
        }
    }

    bool start(QStringList arguments)
    {
        if (!arguments.contains(QStringLiteral("--exit-after")))
            arguments << QStringLiteral("--exit-after") << QString::number(kLifetimeSeconds);
        process.start(QStringLiteral(VIRTUAL_MODULE_EXE), arguments);
        if (!process.waitForStarted(kStartMs))
            return false;
        const QRegularExpression line(QStringLiteral(
            R"(^module \d+ address=(\S+) data-port=(\d+) at-port=(\d+) name=(\S*) board=(\S+)$)"));
        QDeadlineTimer deadline(kStartMs);
        while (!deadline.hasExpired()) {
            while (process.canReadLine()) {
                const QString text = QString::fromUtf8(process.readLine()).trimmed();
                output << text;
                if (text == QLatin1String("ready"))
                    return true;
                const QRegularExpressionMatch match = line.match(text);
                if (match.hasMatch()) {
                    modules.append({ QHostAddress(match.captured(1)),
                                     quint16(match.captured(2).toUInt()),
                                     quint16(match.captured(3).toUInt()), match.captured(4),
                                     match.captured(5) });
                }
            }
            if (process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        return false;
    }

    QProcess process;
    QList<Module> modules;
    QStringList output;
};

inline QString targetOf(const ModuleProcess::Module &module)
{
    return TestKit::target(module.address.toString(), module.dataPort, module.atPort);
}
