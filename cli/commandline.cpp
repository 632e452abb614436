#include "cli/commandline.h"

#include "cli/discovery.h"
#include "cli/station.h"
#include "discovery/renameexchange.h"
#include "upload/boards.h"

#include <QHostAddress>

#include <functional>

namespace {
// What the parser fills in as it reads.
struct Reading
{
    Options options;
    bool boardGiven = false;
};

// Takes an option's value into what is read: the error, or empty when taken.
using Setter = std::function<QString(Reading &, const QString &value)>;

// One option of a command, or a line of its help alone.
struct OptionRow
{
    // As the help shows it: "-o, --output FILE", "--json". One that does not
    // start with "-" (TARGET) is help alone, as is an empty one, whose help
    // is shown as it is.
    QString syntax;
    Setter set;
    // Its lines in the help, after the syntax column; empty: not shown.
    QString help;

    bool isOption() const { return syntax.startsWith(QLatin1Char('-')); }
    bool takesValue() const
    {
        return syntax.section(QStringLiteral(", "), -1).contains(QLatin1Char(' '));
    }
    // The long name without "--", and the short one without "-".
    QString longName() const
    {
        return syntax.section(QStringLiteral(", "), -1).section(QLatin1Char(' '), 0, 0).mid(2);
    }
    QString shortName() const
    {
        return syntax.contains(QStringLiteral(", "))
            ? syntax.section(QStringLiteral(", "), 0, 0).mid(1)
            : QString();
    }
};

// A command: its name, the help around its options, the options it takes
// and how its arguments are read.
struct CommandRow
{
    Command command;
    const char *name;
    QString head;
    int column; // width of the options' syntax column in the help
    QVector<OptionRow> options;
    QString tail;
    // Takes the arguments that are not options: the error, or empty.
    std::function<QString(Reading &, QStringList)> positionals;
};

QString boardList()
{
    return boardNames().join(QStringLiteral(", "));
}

Setter flag(bool Options::*field)
{
    return [field](Reading &reading, const QString &) {
        reading.options.*field = true;
        return QString();
    };
}

// A path that may not be empty.
Setter path(QString Options::*field, const char *option)
{
    return [field, option](Reading &reading, const QString &value) {
        if (value.isEmpty())
            return QStringLiteral("--%1 needs a path").arg(QLatin1String(option));
        reading.options.*field = value;
        return QString();
    };
}

// Seconds above 0 and at most `limit`; `problem` tells what a bad value
// should have been.
Setter secondsInto(double Options::*field, double limit, const QString &problem)
{
    return [=](Reading &reading, const QString &value) {
        const std::optional<double> seconds = parseSeconds(value, limit);
        if (!seconds)
            return problem.arg(value).arg(limit);
        reading.options.*field = *seconds;
        return QString();
    };
}

QString setSeconds(Reading &reading, const QString &value)
{
    const QString error = secondsInto(&Options::seconds, kMaxListenSeconds,
                                      QStringLiteral("bad --seconds '%1': a number of seconds "
                                                     "above 0 and at most %2"))(reading, value);
    reading.options.secondsGiven = reading.options.secondsGiven || error.isEmpty();
    return error;
}

const Setter setTimeout
    = secondsInto(&Options::timeoutSeconds, kMaxUploadTimeoutSeconds,
                  QStringLiteral("bad --timeout '%1': a number of seconds above 0 and at most %2"));

QString setBoard(Reading &reading, const QString &value)
{
    const std::optional<QString> board = canonicalBoard(value);
    if (!board)
        return QStringLiteral("unknown board '%1': use one of %2").arg(value, boardList());
    reading.options.board = *board;
    reading.boardGiven = true;
    return QString();
}

QString setName(Reading &reading, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("--name needs a module name");
    reading.options.names << value;
    return QString();
}

QString setLog(Reading &reading, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("--log needs a file name");
    reading.options.logPath = value;
    return QString();
}

QString setOutput(Reading &reading, const QString &value)
{
    const QString error = path(&Options::output, "output")(reading, value);
    reading.options.outputGiven = reading.options.outputGiven || error.isEmpty();
    return error;
}

QString setUntil(Reading &reading, const QString &value)
{
    reading.options.until = value;
    return value.isEmpty() ? QStringLiteral("--until needs a text") : QString();
}

QString setEol(Reading &reading, const QString &value)
{
    const std::optional<QByteArray> ending = lineEnding(value);
    if (!ending)
        return QStringLiteral("bad --eol '%1': use lf, crlf, cr or none").arg(value);
    reading.options.eol = *ending;
    return QString();
}

QString setListen(Reading &reading, const QString &value)
{
    const auto listen = parseListenAddress(value);
    if (!listen)
        return QStringLiteral("bad --listen '%1': ADDRESS:PORT with an IP address and a port "
                              "from 0 (any free one) to %2")
            .arg(value)
            .arg(kMaxPort);
    reading.options.listenAddress = listen->first.toString();
    reading.options.listenPort = listen->second;
    return QString();
}

const Setter setIdle = secondsInto(&Options::idleSeconds, kMaxListenSeconds,
                                   QStringLiteral("bad --idle '%1': seconds above 0, at most %2"));

// A whole number from 1 to `limit`.
Setter countInto(int Options::*field, int limit, const QString &problem)
{
    return [=](Reading &reading, const QString &value) {
        bool ok = false;
        const int count = value.toInt(&ok);
        if (!ok || count < 1 || count > limit)
            return problem.arg(value).arg(limit);
        reading.options.*field = count;
        return QString();
    };
}

const Setter setClients = countInto(&Options::clients, kMaxProxyClients,
                                    QStringLiteral("bad --clients '%1': a number from 1 to %2"));
const Setter setParallel
    = countInto(&Options::parallel, kMaxStationParallel,
                QStringLiteral("bad --parallel '%1': a number of boards from 1 to %2"));

const OptionRow kHelp { QStringLiteral("-h, --help"), flag(&Options::help),
                        QStringLiteral("show this text") };
// Taken by every command, shown where the engine's diagnostics matter.
const OptionRow kVerbose { QStringLiteral("--verbose"), flag(&Options::verbose), QString() };
OptionRow shownVerbose()
{
    OptionRow row = kVerbose;
    row.help = QStringLiteral("let the engine's diagnostics through to standard error");
    return row;
}

// "list takes no arguments, not 'x'"
QString tooMany(Command command, const QStringList &positionals, int allowed)
{
    return QStringLiteral("%1 takes %2, not '%3'")
        .arg(commandName(command),
             allowed == 0 ? QStringLiteral("no arguments")
                          : QStringLiteral("at most %1 arguments").arg(allowed),
             positionals.at(allowed));
}

QString noPositionals(Reading &reading, const QStringList &positionals)
{
    return positionals.isEmpty() ? QString() : tooMany(reading.options.command, positionals, 0);
}

QString convertPositionals(Reading &reading, const QStringList &positionals)
{
    if (positionals.isEmpty())
        return QStringLiteral("convert needs a HEX file");
    if (positionals.size() > 2)
        return tooMany(Command::Convert, positionals, 2);
    reading.options.file = positionals.at(0);
    if (positionals.size() == 2)
        reading.options.output = positionals.at(1);
    return QString();
}

QString renamePositionals(Reading &reading, const QStringList &positionals)
{
    Options &options = reading.options;
    if (positionals.size() != 3)
        return QStringLiteral("rename needs IP ATPORT NAME");
    const QHostAddress address(positionals.at(0));
    if (address.isNull())
        return QStringLiteral("bad address '%1': an IPv4 or IPv6 address is needed")
            .arg(positionals.at(0));
    const std::optional<quint16> port = parsePort(positionals.at(1));
    if (!port)
        return badPortMessage("AT", positionals.at(1));
    options.renameAddress = address.toString();
    options.renamePort = *port;
    options.newName = positionals.at(2);
    // The window sends an empty name when a Name cell is cleared; from a
    // command line it is a slip (an unset shell variable), and it would leave
    // the module nameless.
    if (options.newName.isEmpty())
        return QStringLiteral("bad name: a name cannot be empty; nothing was sent");
    const QString problem = hostNameProblem(options.newName);
    if (!problem.isEmpty())
        return QStringLiteral("bad name: %1; nothing was sent").arg(problem);
    return QString();
}

// upload and read: the HEX file (upload), then the targets.
QString transferPositionals(Reading &reading, QStringList positionals)
{
    Options &options = reading.options;
    const QString command = commandName(options.command);
    const bool upload = options.command == Command::Upload;
    if (upload && positionals.isEmpty())
        return QStringLiteral("upload needs a HEX file");
    if (!reading.boardGiven)
        return QStringLiteral("%1 needs --board (%2)").arg(command, boardList());
    if (!upload && !options.outputGiven)
        return QStringLiteral("read needs -o FILE (.hex or .bin) or -o DIRECTORY");
    if (upload)
        options.file = positionals.takeFirst();
    for (const QString &text : positionals) {
        QString error;
        const std::optional<Target> target = parseTarget(text, &error);
        if (!target)
            return error;
        options.targets << *target;
    }
    if (options.targets.isEmpty() && options.names.isEmpty() && !options.all)
        return QStringLiteral("%1 needs a target: IP:DATAPORT:ATPORT, --name NAME or --all")
            .arg(command);
    if (options.monitor && (options.all || options.targets.size() + options.names.size() != 1))
        return QStringLiteral("upload --monitor takes exactly one target");
    if (options.monitor && options.json)
        return QStringLiteral("--monitor and --json cannot go together");
    if (!options.monitor && (options.timestamp || options.hex || !options.until.isEmpty()))
        return QStringLiteral("--until, --timestamp and --hex need --monitor");
    return QString();
}

QString stationPositionals(Reading &reading, const QStringList &positionals)
{
    if (positionals.size() != 1)
        return QStringLiteral("station needs one HEX file");
    if (!reading.boardGiven)
        return QStringLiteral("station needs --board (%1)").arg(boardList());
    reading.options.file = positionals.first();
    return QString();
}

// monitor and proxy: one target, given or named.
QString singleTargetPositionals(Reading &reading, const QStringList &positionals)
{
    Options &options = reading.options;
    const bool proxy = options.command == Command::Proxy;
    if (proxy && !reading.boardGiven)
        return QStringLiteral("proxy needs --board (%1)").arg(boardList());
    if (positionals.size() + options.names.size() != 1)
        return QStringLiteral("%1 takes exactly one target: %2 or --name NAME")
            .arg(commandName(options.command),
                 proxy ? QStringLiteral("IP:DATAPORT:ATPORT")
                       : QStringLiteral("IP:DATAPORT[:ATPORT]"));
    if (positionals.isEmpty())
        return QString();
    QString error;
    const std::optional<Target> target = proxy ? parseTarget(positionals.first(), &error)
                                               : parseMonitorTarget(positionals.first(), &error);
    if (!target)
        return error;
    options.targets << *target;
    return QString();
}

// The default listening, in the help's words: "3".
QString listenSecondsText()
{
    return QString::number(kDefaultListenSeconds);
}

QVector<CommandRow> makeCommandTable()
{
    const QString uno = QString::number(boardNamed(QStringLiteral("UNO"))->applicationSize);
    const QString mega = QString::number(boardNamed(QStringLiteral("MEGA2560"))->applicationSize);
    const QString seconds = QStringLiteral("--seconds N");
    const QString secondsEnd = QStringLiteral("end after N seconds (decimals allowed, at most %1)")
                                   .arg(kMaxListenSeconds);
    const QString named = QStringLiteral("the module announcing this name (heard within %1 s)")
                              .arg(listenSecondsText());
    const QString json = QStringLiteral("--json");
    const QString timeout = QStringLiteral("--timeout S");
    const QString board = QStringLiteral("--board BOARD");
    const QString name = QStringLiteral("--name NAME");
    const QString exitUsage = QStringLiteral("2 for a usage error.\n");

    return {
        { Command::List,
          "list",
          QStringLiteral(R"(Usage: rudireze-cli list [--seconds N] [--json]

Listens for module announcements on UDP port %1 for N seconds (default %2)
and prints every module heard: name, address, data port and AT port. This
host's own announcements are left out, as the window leaves them out. A
module that announces itself again with other values shows its latest ones.

)")
              .arg(kAnnouncementPort)
              .arg(listenSecondsText()),
          14,
          { { seconds, setSeconds,
              QStringLiteral("how long to listen (decimals allowed, at most %1)")
                  .arg(kMaxListenSeconds) },
            { json, flag(&Options::json),
              QStringLiteral("print {\"modules\": [MODULE...]}, each MODULE as in\n"
                             "\"rudireze-cli --help\"") },
            kVerbose,
            kHelp },
          QStringLiteral(R"(
When no module at all was heard, a hint on standard error names the usual
causes: another network, announcements sent to another host, a firewall.

Exit status: 0 when the listening ran (also when no module was heard),
1 when UDP port %1 cannot be bound, )")
                  .arg(kAnnouncementPort)
              + exitUsage,
          noPositionals },
        { Command::Convert,
          "convert",
          QStringLiteral(R"(Usage: rudireze-cli convert FILE.hex [OUT.bin]

Converts an Intel HEX file into the flat binary image the window uploads,
exactly as the window converts it, and writes it to OUT.bin (default
%1; "-": standard output, the report then on standard error).
The byte for address A lands at offset A; gaps read as zero.
A file that cannot be converted is named with the line at fault, and nothing
is written.

)")
              .arg(QLatin1String(kImagePath)),
          14,
          { kVerbose, kHelp },
          QStringLiteral(R"(
Exit status: 0 when the image was written, 1 when the file could not be
read, converted or written, )")
              + exitUsage,
          convertPositionals },
        { Command::Locate,
          "locate",
          QStringLiteral(R"(Usage: rudireze-cli locate [--json]

Prints the default firmware file the window would take right now: the newest
sketch image (.ino.hex or .cpp.hex) an Arduino-style build left in the
temporary directory, with its full path and the time text the window shows.
Unlike the window, it appends nothing to ./log.txt.

)"),
          14,
          { { json, flag(&Options::json),
              QStringLiteral("print {\"path\": ..., \"time\": ...} (both null when none)") },
            kVerbose,
            kHelp },
          QStringLiteral("\nExit status: 0 when a file was found, 1 when none was, ") + exitUsage,
          noPositionals },
        { Command::Upload,
          "upload",
          QStringLiteral(R"(Usage: rudireze-cli upload FILE.hex --board BOARD [TARGET...]
                            [--name NAME]... [--all-matching] [--all] [--seconds N]
                            [--verify] [--json] [--timeout S]
                            [--monitor [monitor options]]

Converts FILE.hex as the window does and uploads the image to every target
at the same time, one worker each, with the window's upload engine.

)"),
          15,
          { { QStringLiteral("TARGET"), nullptr,
              QStringLiteral("IP:DATAPORT:ATPORT of a module ([IPv6]:DATAPORT:ATPORT)") },
            { board, setBoard,
              QStringLiteral("UNO (STK500 version 1), MEGA2560, Orvex3 or Orvex0\n"
                             "(STK500 version 2); letter case does not matter; the\n"
                             "image must fit below the board's bootloader: %1 bytes\n"
                             "on the UNO, %2 on the others")
                  .arg(uno, mega) },
            { name, setName,
              QStringLiteral("the module announcing this name (repeatable); listening\n"
                             "stops a second after every name was heard; a name heard\n"
                             "from more than one address is refused") },
            { QStringLiteral("--all-matching"), flag(&Options::allMatching),
              QStringLiteral("every module announcing one of the names") },
            { QStringLiteral("--all"), flag(&Options::all),
              QStringLiteral("every module heard announcing itself") },
            { seconds, setSeconds,
              QStringLiteral("how long to listen for --name and --all (default %1)")
                  .arg(listenSecondsText()) },
            { QStringLiteral("--backup DIR"), path(&Options::backupDir, "backup"),
              QStringLiteral("before writing, in the same bootloader session, read each\n"
                             "board's program as \"read\" does into\n"
                             "DIR/<name or address>-<date>-<time>.hex; a board whose copy\n"
                             "cannot be kept is not written") },
            { QStringLiteral("--verify"), flag(&Options::verify),
              QStringLiteral("after writing, read the flash back before leaving\n"
                             "programming mode and compare it with the image; a\n"
                             "difference fails the target and its first address is shown") },
            { json, flag(&Options::json),
              QStringLiteral(
                  "print one result per target instead of the progress\n"
                  "display: {\"results\": [{\"target\", \"address\", \"dataPort\",\n"
                  "\"atPort\", \"name\", \"board\", \"bytes\", \"seconds\", \"status\",\n"
                  "\"verified\", \"firstMismatch\", \"error\", \"file\"}], \"succeeded\",\n"
                  "\"failed\"} (\"file\": the --backup copy, or null)\n"
                  "status is one of ok, failed, unreachable, verify-failed,\n"
                  "timeout, not-found, interrupted") },
            { timeout, setTimeout,
              QStringLiteral("stop every upload still running after S seconds (default\n%1)")
                  .arg(kDefaultUploadTimeoutSeconds) },
            shownVerbose(),
            { QStringLiteral("--monitor"), flag(&Options::monitor),
              QStringLiteral("one target only: after a successful upload, keep its data\n"
                             "connection and go on as \"rudireze-cli monitor\", so the new\n"
                             "program's first lines are not missed; takes monitor's\n"
                             "--until, --eol, --timestamp and --hex, and --seconds then\n"
                             "bounds the monitoring (--name listens for %1 s); the exit\n"
                             "status is then the monitor's")
                  .arg(listenSecondsText()) },
            { QStringLiteral("--until TEXT"), setUntil, QString() },
            { QStringLiteral("--eol E"), setEol, QString() },
            { QStringLiteral("--timestamp"), flag(&Options::timestamp), QString() },
            { QStringLiteral("--hex"), flag(&Options::hex), QString() },
            kHelp },
          QStringLiteral(R"(
On a terminal each target has a line with a bar and a percentage (when they
all fit on the screen), cut to the terminal's width; otherwise plain lines
are printed as the uploads go on. Each line names the target by its
announced name when it has one. A summary follows. With --json, a failure
before any upload (a HEX file that gives no image, a usage error) is a JSON
object too: "results" empty and "error" the message.

SIGINT (Ctrl-C), SIGTERM or SIGHUP stops the uploads still under way; the
summary (or the JSON) follows with those marked interrupted, and the exit
status is 130, 143 or 129. A second signal ends the program at once.

Exit status: 0 when every target succeeded, 1 when any failed (or none was
found), 2 for a usage error, a HEX file that gives no image for the board or
a --name heard from more than one address (nothing is uploaded then), 128 +
the signal's number when one interrupted it.
)"),
          transferPositionals },
        { Command::Rename,
          "rename",
          QStringLiteral(R"(Usage: rudireze-cli rename IP ATPORT NAME

Sends "AT+HOSTNAME=" and NAME to the module's AT port, as the window does
when a Name cell is edited: one connection (%1 s to connect), the reply waited
for up to %2 s and not judged. Characters outside Latin-1 are sent as "?".
An empty name, a name with a control character, with "AT+" in any letter
case, or longer than %3 characters is refused. The module's later announcements carry the
new name.

)")
              .arg(kModuleConnectTimeoutMs / kMsecsPerSecond)
              .arg(kRenameReplyTimeoutMs / kMsecsPerSecond)
              .arg(kMaxHostNameLength),
          14,
          { kVerbose, kHelp },
          QStringLiteral(R"(
Exit status: 0 when the command was sent, 1 when no connection was made,
2 for a usage error or a refused name.
)"),
          renamePositionals },
        { Command::Monitor,
          "monitor",
          QStringLiteral(R"(Usage: rudireze-cli monitor TARGET [--eol lf|crlf|cr|none] [--timestamp]
                             [--hex] [--seconds N] [--until TEXT]
       rudireze-cli monitor --name NAME [options]

Connects to the module's data port (the board's serial line) and prints what
the board sends as it arrives. Lines typed (or read from standard input) are
sent to the board, each with the chosen line ending.

)"),
          15,
          { { QStringLiteral("TARGET"), nullptr,
              QStringLiteral("IP:DATAPORT of a module (IP:DATAPORT:ATPORT is taken too;\n"
                             "the AT port is not used)") },
            { name, setName, named },
            { QStringLiteral("--eol E"), setEol,
              QStringLiteral("what ends each line sent: lf (default), crlf, cr or none") },
            { QStringLiteral("--timestamp"), flag(&Options::timestamp),
              QStringLiteral("start every line printed with the time [HH:mm:ss.zzz]") },
            { QStringLiteral("--hex"), flag(&Options::hex),
              QStringLiteral("print the bytes as hexadecimal pairs, sixteen to a line\n"
                             "and a new line after each line feed") },
            { seconds, setSeconds, secondsEnd },
            { QStringLiteral("--until TEXT"), setUntil,
              QStringLiteral("end as soon as the board has sent TEXT") },
            kVerbose,
            kHelp },
          QStringLiteral(R"(
On a terminal, "Connected to IP:DATAPORT" and how to end it are printed on
standard error once the connection is made.

Ctrl-C ends it. So does the end of standard input, unless --seconds or
--until is given: then it goes on until one of them ends it, so that
"rudireze-cli monitor ... --until READY < /dev/null" in a script waits.

Exit status: 0 when it ended as asked (with --until: only once TEXT was
seen), 1 when the module cannot be reached, the connection was lost, or
--until's TEXT was not seen in time, 143 when SIGTERM ended it, )")
              + exitUsage,
          singleTargetPositionals },
        { Command::Proxy,
          "proxy",
          QStringLiteral(R"(Usage: rudireze-cli proxy TARGET --board BOARD [--listen ADDRESS:PORT]
                           [--clients N] [--idle S] [--seconds N]
       rudireze-cli proxy --name NAME --board BOARD [options]

Opens a local TCP port for programs that speak STK500 themselves (avrdude,
for one). For each client that connects, the board is reset into its
bootloader with the module's AT handshake, the module's data port is
connected, and bytes pass both ways unchanged until either side closes, or
until the client has sent nothing for the idle time. A client that closes
only its sending side still gets the board's answers until it closes, or
until the board has been quiet for a second. One client at a time: the next one waits in the
listen queue until the board is free, and what it sends while it waits is
thrown away when its turn comes, as if it had connected just then. Nothing
reaches the module unless the reset succeeded. Anyone who can reach the port
can reset and flash the board: an address other than loopback is warned of.

)"),
          18,
          { { QStringLiteral("TARGET"), nullptr, QStringLiteral("IP:DATAPORT:ATPORT of a module") },
            { name, setName, named },
            { board, setBoard,
              QStringLiteral("UNO (AT+MCUUPDATE=UNO) or MEGA2560, Orvex3, Orvex0\n"
                             "(AT+MCUUPDATE=MEGA)") },
            { QStringLiteral("--listen A:PORT"), setListen,
              QStringLiteral("where to listen (default 127.0.0.1 and a free port;\n"
                             "[IPv6]:PORT, port 0 for a free one); the address and\n"
                             "port taken are printed first") },
            { QStringLiteral("--clients N"), setClients,
              QStringLiteral("end after N clients were served") },
            { QStringLiteral("--idle S"), setIdle,
              QStringLiteral("a client that sends nothing for S seconds loses the\n"
                             "board, whatever the board sends (default %1)")
                  .arg(kDefaultProxyIdleSeconds) },
            { seconds, setSeconds, secondsEnd },
            kVerbose,
            kHelp },
          QStringLiteral(R"(
Example, with the port printed at the start:
  avrdude -p m328p -c arduino -P net:127.0.0.1:PORT -U flash:w:sketch.hex:i
  avrdude -p m2560 -c wiring -P net:127.0.0.1:PORT -D -U flash:w:sketch.hex:i

Exit status: 0 when it ended as asked (or by Ctrl-C), 1 when the port
cannot be listened on or the module could not be reached or reset (the
client is closed then), 143 when SIGTERM ended it, )")
              + exitUsage,
          singleTargetPositionals },
        { Command::Read,
          "read",
          QStringLiteral(R"(Usage: rudireze-cli read [TARGET...] --board BOARD -o FILE|DIRECTORY
                          [--name NAME]... [--all-matching] [--all] [--seconds N]
                          [--json] [--timeout S]

Reads the program a board holds through its bootloader: the whole
application area (the flash below the bootloader, %1 bytes on an UNO,
%2 on a MEGA2560), without its erased tail, written as Intel HEX, or as
a raw image when FILE ends in ".bin". The file is replaced in one step, and
uploading it puts the program back. Nothing is written to the board.

)")
              .arg(uno, mega),
          20,
          { { QStringLiteral("-o, --output FILE"), setOutput,
              QStringLiteral("where the copy goes (\"-\": standard output, the report\n"
                             "then on standard error); with a DIRECTORY, each target's\n"
                             "copy is DIRECTORY/<name or address>-<date>-<time>.hex,\n"
                             "which several targets, --all and --all-matching need") },
            { QString(), nullptr,
              QStringLiteral("  TARGET, --board, --name, --all-matching, --all, --seconds, "
                             "--json,\n"
                             "  --timeout, --verbose   as for upload") },
            { board, setBoard, QString() },
            { name, setName, QString() },
            { QStringLiteral("--all-matching"), flag(&Options::allMatching), QString() },
            { QStringLiteral("--all"), flag(&Options::all), QString() },
            { seconds, setSeconds, QString() },
            { json, flag(&Options::json), QString() },
            { timeout, setTimeout, QString() },
            kVerbose,
            kHelp },
          QStringLiteral(R"(
SIGINT (Ctrl-C), SIGTERM or SIGHUP stops the reads still under way; the
summary (or the JSON) follows with those marked interrupted. A second signal
ends the program at once.

Exit status: 0 when every target was read and kept, 1 when any failed, 2 for
a usage error, 128 + the signal's number when one interrupted it.
)"),
          transferPositionals },
        { Command::Station,
          "station",
          QStringLiteral(R"(Usage: rudireze-cli station FILE.hex --board BOARD [--verify]
                             [--name PATTERN]... [--log FILE.csv] [--seconds N]
                             [--reload] [--timeout S] [--parallel N]

A flashing station for a bench of boards: listens for module announcements
and flashes every module that appears, as soon as it is heard, several at
the same time. Each module is flashed once; one that falls silent for %1 s
and then announces itself again (a new board on the bench) is flashed again.
A line is printed for every board as it finishes, with the running count of
boards flashed, failed and in progress.

At most --parallel boards are flashed at once; modules heard meanwhile wait,
up to %2 of them. A module heard again a few seconds later goes before those
heard only once, and a quarter of the places are kept for it, so that a flood
of made-up announcements cannot keep a real module from its turn. Modules for
which the wait has no room are counted, once a second, not listed one by one;
one that goes on announcing itself comes back.

)")
              .arg(kStationGoneAfterMs / kMsecsPerSecond)
              .arg(2 * kStationWaitingCapacity),
          16,
          { { board, setBoard,
              QStringLiteral("UNO, MEGA2560, Orvex3 or Orvex0, for every module") },
            { QStringLiteral("--verify"), flag(&Options::verify),
              QStringLiteral("read each board's flash back, as upload --verify does") },
            { QStringLiteral("--name PATTERN"), setName,
              QStringLiteral("only modules whose name matches the shell-style pattern\n"
                             "(*, ?, [...]; repeatable, quote it from the shell)") },
            { QStringLiteral("--log FILE.csv"), setLog,
              QStringLiteral("append one line per board: time, name, address, board,\n"
                             "bytes, seconds, result, error; written as each board\n"
                             "finishes, so nothing is lost when the station is stopped") },
            { seconds, setSeconds,
              QStringLiteral("end after N seconds (default: run until Ctrl-C)") },
            { QStringLiteral("--reload"), flag(&Options::reload),
              QStringLiteral("when FILE.hex changes on disk, flash the new image from then\n"
                             "on (otherwise the station says so and keeps the image it\n"
                             "read at the start)") },
            { timeout, setTimeout,
              QStringLiteral("stop one board's upload after S seconds (default %1)")
                  .arg(kDefaultUploadTimeoutSeconds) },
            { QStringLiteral("--parallel N"), setParallel,
              QStringLiteral("flash at most N boards at the same time (default %1, at\n"
                             "most %2)")
                  .arg(kDefaultStationParallel)
                  .arg(kMaxStationParallel) },
            shownVerbose(),
            kHelp },
          QStringLiteral(R"(
Ctrl-C (or SIGTERM, SIGHUP, or the end of --seconds) takes no new boards,
lets those in progress finish and prints the totals; a second Ctrl-C stops
the boards in progress, which are logged as interrupted; a third ends the
station at once.

Exit status: 0 when no board failed, 1 when any failed, was interrupted or
the log could not be written, 2 for a usage error, a HEX file that gives no
image for the board or a log that cannot be written at the start (nothing is
flashed then).
)"),
          stationPositionals },
        { Command::Discovery,
          "discovery",
          QStringLiteral(R"text(Usage: rudireze-cli discovery

A pluggable discovery tool for the Arduino IDE and arduino-cli, which start
it themselves (platform.txt names it): it reads the discovery protocol's
commands (HELLO, START, LIST, START_SYNC, STOP, QUIT) on standard input and
answers in JSON on standard output. Every module announcing itself on UDP
port %1 is a port of protocol "%2" with the address IP:DATAPORT:ATPORT
that upload takes, labelled "NAME (IP)"; a module that falls silent is
removed 6 to 8 s later, as the window removes its row. A first command other
than HELLO is taken as if "HELLO 1" had come first (IDE 1.8 sends none).

)text")
              .arg(kAnnouncementPort)
              .arg(QLatin1String(kDiscoveryProtocol)),
          14,
          { kVerbose, kHelp },
          QStringLiteral(R"(
Exit status: 0 after QUIT or when standard input ends, )")
              + exitUsage,
          noPositionals },
        { Command::MonitorTool,
          "monitor-tool",
          QStringLiteral(R"text(Usage: rudireze-cli monitor-tool

A pluggable monitor tool for IDE 2.x and arduino-cli, which start it
themselves (platform.txt names it): it reads the monitor protocol's commands
(HELLO, DESCRIBE, CONFIGURE, OPEN, CLOSE, QUIT) on standard input and answers
in JSON on standard output. OPEN connects the module's data port (the port
address IP:DATAPORT:ATPORT that the discovery lists) with the address the IDE
listens on, and the board's serial bytes pass both ways unchanged. The port
has no settings: the module's serial line is set up on the module.

)text"),
          14,
          { kVerbose, kHelp },
          QStringLiteral(R"(
Exit status: 0 after QUIT or when standard input ends, )")
              + exitUsage,
          noPositionals },
        { Command::InstallPlatform,
          "install-platform",
          QStringLiteral(R"text(Usage: rudireze-cli install-platform [--sketchbook DIR]

Installs the Arduino IDE platform for the modules (boards "Arduino Uno over
Wi-Fi (Rudireze)" and "Arduino Mega 2560 over Wi-Fi (Rudireze)") into the
sketchbook's hardware folder: DIR/hardware/rudireze/avr. Its
platform.local.txt names this program by its full path, so the IDE runs this
rudireze-cli to list the modules and to upload. Files already there are
replaced. The core and the compiler are those of Arduino AVR Boards, which
the IDE must have.

)text"),
          18,
          { { QStringLiteral("--sketchbook DIR"), path(&Options::sketchbook, "sketchbook"),
              QStringLiteral("the IDE's sketchbook folder (default ~/Arduino, on Windows\n"
                             "Documents\\Arduino)") },
            kVerbose,
            kHelp },
          QStringLiteral(R"(
Exit status: 0 when the platform was written, 1 when it could not be,
)") + exitUsage,
          noPositionals },
    };
}

const QVector<CommandRow> &commandTable()
{
    static const QVector<CommandRow> table = [] {
        QVector<CommandRow> commands = makeCommandTable();
        // Every option has its setter: an option the parser takes is stored.
        for ([[maybe_unused]] const CommandRow &command : commands) {
            for ([[maybe_unused]] const OptionRow &option : command.options)
                Q_ASSERT(option.set || !option.isOption());
        }
        return commands;
    }();
    return table;
}

const CommandRow *commandRow(Command command)
{
    for (const CommandRow &row : commandTable()) {
        if (row.command == command)
            return &row;
    }
    return nullptr;
}

Command commandNamed(const QString &name)
{
    for (const CommandRow &row : commandTable()) {
        if (name == QLatin1String(row.name))
            return row.command;
    }
    return Command::None;
}

const OptionRow *findOption(const CommandRow &command, const QString &name, bool isShort)
{
    for (const OptionRow &row : command.options) {
        if (row.isOption() && name == (isShort ? row.shortName() : row.longName()))
            return &row;
    }
    return nullptr;
}

class Parser
{
public:
    explicit Parser(const QStringList &arguments)
        : arguments(arguments)
    {
    }
    ParsedCommandLine parse();

private:
    bool takeOption(const CommandRow &command, const QString &argument, int *index);
    bool apply(const OptionRow &option, const QString &value)
    {
        return fail(option.set(reading, value));
    }
    // False with the first error kept; true for no error.
    bool fail(const QString &message)
    {
        if (message.isEmpty())
            return true;
        if (result.error.isEmpty())
            result.error = message;
        return false;
    }
    ParsedCommandLine finished()
    {
        result.options = reading.options;
        return result;
    }

    const QStringList &arguments;
    Reading reading;
    ParsedCommandLine result;
};

ParsedCommandLine Parser::parse()
{
    Options &options = reading.options;
    if (arguments.isEmpty()) {
        fail(QStringLiteral("no command given"));
        return finished();
    }
    const QString first = arguments.first();
    if (first == QLatin1String("--version")) {
        options.version = true;
        if (arguments.size() > 1)
            fail(QStringLiteral("--version takes nothing after it"));
        return finished();
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h")
        || first == QLatin1String("help")) {
        options.help = true;
        if (arguments.size() > 1) {
            options.command = commandNamed(arguments.at(1));
            if (options.command == Command::None)
                fail(QStringLiteral("unknown command '%1'").arg(arguments.at(1)));
        }
        return finished();
    }
    options.command = commandNamed(first);
    const CommandRow *command = commandRow(options.command);
    if (!command) {
        fail(first.startsWith(QLatin1Char('-'))
                 ? QStringLiteral("a command comes first, not the option '%1'").arg(first)
                 : QStringLiteral("unknown command '%1'").arg(first));
        return finished();
    }

    QStringList positionals;
    bool optionsEnded = false;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString &argument = arguments.at(index);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (!takeOption(*command, argument, &index))
                return finished();
        } else {
            positionals << argument;
        }
    }
    if (!options.help)
        fail(command->positionals(reading, positionals));
    return finished();
}

bool Parser::takeOption(const CommandRow &command, const QString &argument, int *index)
{
    if (!argument.startsWith(QLatin1String("--"))) {
        // A short option stands alone: "-h", "-o FILE".
        const OptionRow *option
            = argument.size() == 2 ? findOption(command, argument.mid(1), true) : nullptr;
        if (!option)
            return fail(QStringLiteral("unknown option '%1' for %2")
                            .arg(argument, commandName(command.command)));
        if (!option->takesValue())
            return apply(*option, QString());
        // -o, the one short option with a value, takes a file.
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("%1 needs a file name").arg(argument));
        return apply(*option, arguments.at(++*index));
    }

    QString name = argument.mid(2);
    QString value;
    bool valueGiven = false;
    const int equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0) {
        value = name.mid(equals + 1);
        name = name.left(equals);
        valueGiven = true;
    }
    const OptionRow *option = findOption(command, name, false);
    if (!option)
        return fail(
            QStringLiteral("unknown option '--%1' for %2").arg(name, commandName(command.command)));
    if (option->takesValue() && !valueGiven) {
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("--%1 needs a value").arg(name));
        value = arguments.at(++*index);
    } else if (!option->takesValue() && valueGiven) {
        return fail(QStringLiteral("--%1 takes no value").arg(name));
    }
    return apply(*option, value);
}

// The options' lines of a command's help: each syntax in its column, the
// help's further lines under its first.
QString optionLines(const CommandRow &command)
{
    const QString indent = QStringLiteral("\n") + QString(2 + command.column, QLatin1Char(' '));
    QString text;
    for (const OptionRow &row : command.options) {
        if (row.help.isEmpty())
            continue;
        if (row.syntax.isEmpty())
            text += row.help + QLatin1Char('\n');
        else
            text += QStringLiteral("  ") + row.syntax.leftJustified(command.column)
                + QString(row.help).replace(QLatin1Char('\n'), indent) + QLatin1Char('\n');
    }
    return text;
}
} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    return Parser(arguments).parse();
}

QString versionText()
{
    return QStringLiteral("rudireze-cli %1\n").arg(QLatin1String(RUDIREZE_VERSION));
}

QString commandName(Command command)
{
    const CommandRow *row = commandRow(command);
    return row ? QString::fromLatin1(row->name) : QString();
}

QString usageText(Command command)
{
    if (const CommandRow *row = commandRow(command))
        return row->head + optionLines(*row) + row->tail;
    return QStringLiteral(R"(Usage: rudireze-cli COMMAND [OPTIONS]

Writes firmware into AVR boards behind Wi-Fi serial bridge modules, with the
window's own engine, from a terminal or a script.

Commands:
  list              print the modules announcing themselves
  convert           convert an Intel HEX file into a flat image
  locate            print the default firmware file the window would take
  upload            upload a HEX file to one or many boards at once
  read              keep a copy of the program a board holds
  station           flash every board that appears, as it appears
  rename            give a module a new name
  monitor           show the board's serial output, send it typed lines
  proxy             a local port for programs that speak STK500 themselves
  discovery         list the modules for the Arduino IDE (the IDE starts it)
  monitor-tool      a module's serial line for IDE 2.x (the IDE starts it)
  install-platform  put the Arduino IDE platform into the sketchbook

"rudireze-cli COMMAND --help" describes a command; "rudireze-cli --version"
prints the version. The engine's diagnostics reach standard error only with
--verbose.

With --json, a module is shown the same way by every command:
  {"name": TEXT, "address": TEXT, "dataPort": NUMBER, "atPort": NUMBER}
(a port the module announced that is not a port number is null); upload and
read add their result's keys to it. A failure gives a JSON object too, with
its message as "error".

Exit status: 0 success, 1 failure, 2 usage error.

Free software under the GNU General Public License, version 3 or later
(GPL-3.0-or-later); it comes with no warranty.
)");
}
