#include "cli/monitor.h"

#include "cli/output.h"
#include "cli/targets.h"
#include "common/names.h"
#include "platform/consoleinput.h"
#include "platform/interruption.h"
#include "platform/terminal.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {
QString setUntil(Options &options, const QString &value)
{
    options.until = value;
    return value.isEmpty() ? QStringLiteral("--until needs a text") : QString();
}

QString setEol(Options &options, const QString &value)
{
    const std::optional<QByteArray> ending = lineEnding(value);
    if (!ending)
        return QStringLiteral("bad --eol '%1': use lf, crlf, cr or none").arg(value);
    options.eol = *ending;
    return QString();
}

// Lines typed just before the end still reach the board.
constexpr int kCloseTimeoutMs = 1000;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kHexShift = 4;
constexpr int kLowNibble = 0x0f;
const char kTimeFormat[] = "[HH:mm:ss.zzz] ";
} // namespace

QByteArray MonitorFormat::format(const QByteArray &bytes, const QTime &now)
{
    const QByteArray stamp
        = timestamp ? now.toString(QLatin1String(kTimeFormat)).toLatin1() : QByteArray();
    QByteArray text;
    for (const char byte : bytes) {
        if (lineStart) {
            text += stamp;
            lineStart = false;
        }
        if (!hex) {
            text += byte;
            lineStart = byte == '\n';
            continue;
        }
        const auto value = static_cast<unsigned char>(byte);
        if (hexColumn > 0)
            text += ' ';
        text += kHexDigits[value >> kHexShift];
        text += kHexDigits[value & kLowNibble];
        if (byte == '\n' || ++hexColumn == kHexBytesPerLine) {
            text += '\n';
            hexColumn = 0;
            lineStart = true;
        }
    }
    return text;
}

bool TextWatch::feed(const QByteArray &bytes)
{
    if (found || text.isEmpty())
        return found = true;
    const QByteArray window = tail + bytes;
    found = window.contains(text);
    tail = window.right(text.size() - 1);
    return found;
}

QByteArray LineSplitter::take(const QByteArray &bytes)
{
    pending += bytes;
    QByteArray lines;
    int newline = 0;
    while ((newline = pending.indexOf('\n')) >= 0) {
        QByteArray line = pending.left(newline);
        pending.remove(0, newline + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        lines += line + ending;
    }
    return lines;
}

QByteArray LineSplitter::finish()
{
    if (pending.isEmpty())
        return QByteArray();
    QByteArray line = pending + '\n';
    pending.clear();
    return take(line);
}

QString monitorLabel(const Target &target)
{
    return QStringLiteral("%1:%2").arg(bracketedAddress(target.address)).arg(target.dataPort);
}

int runMonitor(const Options &options)
{
    const std::optional<Target> target = resolveSingleTarget(options);
    if (!target)
        return kExitFailure;
    auto socket = std::make_unique<QTcpSocket>();
    const QString label = monitorLabel(*target);
    socket->connectToHost(target->address, target->dataPort);
    if (!socket->waitForConnected(kModuleConnectTimeoutMs)) {
        printError(QStringLiteral("cannot connect to the data port %1: %2")
                       .arg(label, socket->errorString()));
        return kExitFailure;
    }
    return runMonitorOn(socket.release(), label, options);
}

int runMonitorOn(QTcpSocket *connection, const QString &label, const Options &options)
{
    std::unique_ptr<QTcpSocket> socket(connection);
    MonitorFormat format(options.timestamp, options.hex);
    TextWatch watch(options.until.toUtf8());
    LineSplitter lines(options.eol);
    // With an end of its own, the end of standard input does not end it:
    // a script's "monitor --until X < /dev/null" still waits for X.
    const bool ownEnd = options.secondsGiven || !options.until.isEmpty();
    int status = kExitSuccess;
    bool ending = false;
    // A board that says nothing would leave a person at a terminal wondering
    // whether anything happened; a script's output stays the board's alone.
    if (isTerminal(stdin) || isTerminal(stdout))
        printText(stderr,
                  QStringLiteral("Connected to %1; typed lines go to the board. Ctrl-C ends.\n")
                      .arg(label));

    QEventLoop loop;
    // The first reason to end decides the exit status.
    const auto end = [&](int exitStatus) {
        if (ending)
            return;
        ending = true;
        status = exitStatus;
        loop.exit();
    };
    const auto untilStatus
        = [&] { return options.until.isEmpty() || watch.seen() ? kExitSuccess : kExitFailure; };
    const auto readBoard = [&] {
        const QByteArray bytes = socket->readAll();
        if (bytes.isEmpty())
            return;
        writeBytes(stdout, format.format(bytes, QTime::currentTime()));
        if (!options.until.isEmpty() && watch.feed(bytes))
            end(kExitSuccess);
    };
    QObject::connect(socket.get(), &QTcpSocket::readyRead, &loop, readBoard);
    const auto lost = [&] {
        readBoard();
        if (!options.until.isEmpty() && watch.seen())
            return;
        printError(QStringLiteral("the connection to %1 was lost").arg(label));
        end(kExitFailure);
    };
    QObject::connect(socket.get(), &QTcpSocket::disconnected, &loop, lost);

    StandardInput input;
    QObject::connect(&input, &StandardInput::received, &loop,
                     [&](const QByteArray &bytes) { socket->write(lines.take(bytes)); });
    QObject::connect(&input, &StandardInput::ended, &loop, [&] {
        socket->write(lines.finish());
        if (!ownEnd)
            end(kExitSuccess);
    });
    Interruption stop(Interruption::kDeliverAll, Interruption::Hangup::Default);
    QObject::connect(&stop, &Interruption::requested, &loop, [&] {
        // Ctrl-C is how a monitor is ended; SIGTERM tells a script it was killed.
        const bool killed
            = stop.exitStatus() == Interruption::kSignalExitBase + Interruption::kSigTerm;
        end(killed ? stop.exitStatus() : untilStatus());
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        if (untilStatus() != kExitSuccess)
            printError(QStringLiteral("'%1' was not seen within %2 s")
                           .arg(options.until, secondsText(options.seconds)));
        end(untilStatus());
    });
    if (options.secondsGiven)
        limit.start(static_cast<int>(options.seconds * kMsecsPerSecond));

    // Bytes that came with a connection taken over are already waiting.
    QTimer::singleShot(0, &loop, [&] {
        readBoard();
        if (socket->state() != QAbstractSocket::ConnectedState)
            lost();
        else
            input.start();
    });
    loop.exec();

    QObject::disconnect(socket.get(), nullptr, &loop, nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(kCloseTimeoutMs);
    }
    return status;
}

const Option kUntilOption { "--until TEXT", setUntil };
const Option kEolOption { "--eol E", setEol };
const Option kTimestampOption { "--timestamp", setFlag<&Options::timestamp> };
const Option kHexOption { "--hex", setFlag<&Options::hex> };

const CommandEntry kMonitorCommand {
    Command::Monitor,
    "monitor",
    "show the board's serial output, send it typed lines",
    QStringLiteral(R"(Usage: rudireze-cli monitor TARGET [--eol lf|crlf|cr|none] [--timestamp]
                             [--hex] [--seconds N] [--until TEXT]
       rudireze-cli monitor --name NAME [options]

Connects to the module's data port (the board's serial line) and prints what
the board sends as it arrives. Lines typed (or read from standard input) are
sent to the board, each with the chosen line ending.

)"),
    15,
    { { &kTargetArgument,
        QStringLiteral("IP:DATAPORT of a module (IP:DATAPORT:ATPORT is taken too;\n"
                       "the AT port is not used)") },
      { &kNameOption, namedModuleHelp() },
      { &kEolOption, QStringLiteral("what ends each line sent: lf (default), crlf, cr or none") },
      { &kTimestampOption,
        QStringLiteral("start every line printed with the time [HH:mm:ss.zzz]") },
      { &kHexOption,
        QStringLiteral("print the bytes as hexadecimal pairs, sixteen to a line\n"
                       "and a new line after each line feed") },
      { &kSecondsOption, secondsEndHelp() },
      { &kUntilOption, QStringLiteral("end as soon as the board has sent TEXT") },
      verboseRow(),
      helpRow() },
    QStringLiteral(R"(
On a terminal, "Connected to IP:DATAPORT" and how to end it are printed on
standard error once the connection is made.

Ctrl-C ends it. So does the end of standard input, unless --seconds or
--until is given: then it goes on until one of them ends it, so that
"rudireze-cli monitor ... --until READY < /dev/null" in a script waits.

Exit status: 0 when it ended as asked (with --until: only once TEXT was
seen), 1 when the module cannot be reached, the connection was lost, or
--until's TEXT was not seen in time, 143 when SIGTERM ended it, )")
        + QLatin1String(kExitUsageHelp),
    singleTargetPositionals,
    nullptr,
    runMonitor,
};
