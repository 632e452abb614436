#include "platform/commandshell.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {
// Each of the two waits for the interpreter.
constexpr int kInterpreterWaitMs = 30000;
// An interpreter still running after its waits is killed; this bounds the
// wait for it to go.
constexpr int kKillWaitMs = 1000;

// The prompt the interpreter shows before it reads a line: the current
// folder and ">" (PROMPT=$P$G), alone on the last line of the output.
bool endsInPrompt(const QByteArray &output)
{
    static const QRegularExpression prompt(QStringLiteral(R"([A-Za-z]:\\[^<>\r\n]*>$)"));
    const int lineStart = output.lastIndexOf('\n') + 1;
    return prompt.match(QString::fromLocal8Bit(output.mid(lineStart))).hasMatch();
}

// Reads until the interpreter prompts again after `mark`, or until the
// deadline. Whatever arrived is kept either way.
void awaitPrompt(QProcess &process, QByteArray &output, int mark, const QDeadlineTimer &deadline)
{
    while (process.state() == QProcess::Running && !deadline.hasExpired()) {
        output += process.readAllStandardOutput();
        if (output.size() > mark && endsInPrompt(output))
            return;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    output += process.readAllStandardOutput();
}
} // namespace

QString runCommandInterpreter(const QStringList &commandLines)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PROMPT"), QStringLiteral("$P$G"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("cmd"), QStringList(), QIODevice::ReadWrite);
    // Whatever arrived is scanned, whether or not the waits succeed.
    process.waitForStarted(kInterpreterWaitMs);

    // Each line is written once the interpreter prompts for it. Windows' own
    // interpreter takes all lines written at once just as well, but Wine's
    // runs only the first line of what one read brings and drops the rest.
    // The prompts share one wait, so the whole run is bounded as before.
    QByteArray output;
    const QDeadlineTimer promptDeadline(kInterpreterWaitMs);
    for (const QString &line : commandLines) {
        awaitPrompt(process, output, output.size(), promptDeadline);
        process.write(line.toLatin1());
        process.waitForBytesWritten(int(qMax<qint64>(1, promptDeadline.remainingTime())));
        // Nothing new yet: the next prompt must come after what is here now.
        output += process.readAllStandardOutput();
    }
    process.closeWriteChannel();
    process.waitForFinished(kInterpreterWaitMs);
    output += process.readAllStandardOutput();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kKillWaitMs);
    }
    return QString::fromLocal8Bit(output);
}

QString interpreterTemporaryDirectory(const QString &userName)
{
    return QStringLiteral("c:\\Users\\") + userName + QStringLiteral("\\AppData\\Local\\Temp");
}
