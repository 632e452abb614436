#include "platform/commandshell.h"

#include <QProcess>

namespace {
// Each of the two waits for the interpreter.
constexpr int kInterpreterWaitMs = 30000;
// An interpreter still running after its waits is killed; this bounds the
// wait for it to go.
constexpr int kKillWaitMs = 1000;
} // namespace

QString runCommandInterpreter(const QStringList &commandLines)
{
    QProcess process;
    process.start(QStringLiteral("cmd"), QStringList(), QIODevice::ReadWrite);
    // Whatever arrived is scanned, whether or not the waits succeed.
    process.waitForStarted(kInterpreterWaitMs);
    for (const QString &line : commandLines)
        process.write(line.toLatin1());
    process.closeWriteChannel();
    process.waitForFinished(kInterpreterWaitMs);
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kKillWaitMs);
    }
    return output;
}

QString interpreterTemporaryDirectory(const QString &userName)
{
    return QStringLiteral("c:\\Users\\") + userName + QStringLiteral("\\AppData\\Local\\Temp");
}
