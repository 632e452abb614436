#include "cli/monitor.h"

#include "cli/consoleinput.h"
#include "discovery/announcementlistener.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {
constexpr int kConnectTimeoutMs = 3000;
// Lines typed just before the end still reach the board.
constexpr int kCloseTimeoutMs = 1000;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kHexShift = 4;
constexpr int kLowNibble = 0x0f;
const char kTimeFormat[] = "[HH:mm:ss.zzz] ";

struct EndingName
{
    const char *name;
    const char *bytes;
};
const EndingName kEndings[]
    = { { "lf", "\n" }, { "crlf", "\r\n" }, { "cr", "\r" }, { "none", "" } };

void printError(const QString &text)
{
    std::fprintf(stderr, "rudireze-cli: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'g', 6);
}
} // namespace

std::optional<QByteArray> lineEnding(const QString &name)
{
    for (const EndingName &ending : kEndings) {
        if (name.compare(QLatin1String(ending.name), Qt::CaseInsensitive) == 0)
            return QByteArray(ending.bytes);
    }
    return std::nullopt;
}

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

bool applyMonitorOption(Options &options, const QString &name, const QString &value, QString *error)
{
    if (name == QLatin1String("monitor")) {
        options.monitor = true;
    } else if (name == QLatin1String("timestamp")) {
        options.timestamp = true;
    } else if (name == QLatin1String("hex")) {
        options.hex = true;
    } else if (name == QLatin1String("until")) {
        if (value.isEmpty())
            *error = QStringLiteral("--until needs a text");
        options.until = value;
    } else if (name == QLatin1String("eol")) {
        const std::optional<QByteArray> ending = lineEnding(value);
        if (!ending)
            *error = QStringLiteral("bad --eol '%1': use lf, crlf, cr or none").arg(value);
        else
            options.eol = *ending;
    } else {
        return false;
    }
    return true;
}

std::optional<Target> parseMonitorTarget(const QString &text, QString *error)
{
    QString ignored;
    std::optional<Target> target = parseTarget(text, &ignored);
    if (target)
        return target;
    // Without the AT port: any valid port stands in for it and is dropped.
    target = parseTarget(text + QStringLiteral(":1"), &ignored);
    if (target) {
        target->atPort = 0;
        return target;
    }
    *error = QStringLiteral("bad target '%1': expected IP:DATAPORT or IP:DATAPORT:ATPORT, an IP "
                            "address and ports from 1 to 65535")
                 .arg(text);
    return std::nullopt;
}

std::optional<Target> resolveSingleTarget(const Options &options)
{
    if (!options.targets.isEmpty())
        return options.targets.first();
    AnnouncementListener listener;
    QString error;
    if (!listener.bind(&error)) {
        printError(error);
        return std::nullopt;
    }
    const QString name = options.names.value(0);
    const QList<Announcement> heard = listener.listen(
        QDeadlineTimer(static_cast<qint64>(kDefaultListenSeconds * kMsecsPerSecond)),
        [&name](const QList<Announcement> &modules) {
            return std::any_of(modules.begin(), modules.end(),
                               [&name](const Announcement &m) { return m.hostName == name; });
        });
    for (const Announcement &module : heard) {
        if (module.hostName != name)
            continue;
        std::optional<Target> target = parseTarget(
            module.hostIp + QLatin1Char(':') + module.dataPort + QLatin1Char(':') + module.atPort,
            &error);
        if (!target) {
            printError(QStringLiteral("module %1 announces what cannot be connected to: %2")
                           .arg(name, error));
            return std::nullopt;
        }
        target->name = name;
        return target;
    }
    printError(QStringLiteral("no module named %1 announced itself within %2 s")
                   .arg(name, secondsText(kDefaultListenSeconds)));
    return std::nullopt;
}

int runMonitor(const Options &options)
{
    const std::optional<Target> target = resolveSingleTarget(options);
    if (!target)
        return kExitFailure;
    auto socket = std::make_unique<QTcpSocket>();
    const QString label = QStringLiteral("%1:%2").arg(target->address).arg(target->dataPort);
    socket->connectToHost(target->address, target->dataPort);
    if (!socket->waitForConnected(kConnectTimeoutMs)) {
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
        writeOut(format.format(bytes, QTime::currentTime()));
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
    StopRequests stop;
    QObject::connect(&stop, &StopRequests::requested, &loop, [&] { end(untilStatus()); });
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

QString monitorUsageText()
{
    return QStringLiteral(
        R"(Usage: rudireze-cli monitor TARGET [--eol lf|crlf|cr|none] [--timestamp]
                             [--hex] [--seconds N] [--until TEXT]
       rudireze-cli monitor --name NAME [options]

Connects to the module's data port (the board's serial line) and prints what
the board sends as it arrives. Lines typed (or read from standard input) are
sent to the board, each with the chosen line ending.

  TARGET         IP:DATAPORT of a module (IP:DATAPORT:ATPORT is taken too;
                 the AT port is not used)
  --name NAME    the module announcing this name (heard within 3 s)
  --eol E        what ends each line sent: lf (default), crlf, cr or none
  --timestamp    start every line printed with the time [HH:mm:ss.zzz]
  --hex          print the bytes as hexadecimal pairs, sixteen to a line
                 and a new line after each line feed
  --seconds N    end after N seconds (decimals allowed, at most 3600)
  --until TEXT   end as soon as the board has sent TEXT
  -h, --help     show this text

Ctrl-C ends it. So does the end of standard input, unless --seconds or
--until is given: then it goes on until one of them ends it, so that
"rudireze-cli monitor ... --until READY < /dev/null" in a script waits.

Exit status: 0 when it ended as asked (with --until: only once TEXT was
seen), 1 when the module cannot be reached, the connection was lost, or
--until's TEXT was not seen in time, 2 for a usage error.
)");
}
