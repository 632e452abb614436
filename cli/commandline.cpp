#include "cli/commandline.h"

#include "cli/monitor.h"
#include "cli/proxy.h"
#include "cli/station.h"
#include "discovery/renameexchange.h"
#include "upload/boards.h"

#include <QHostAddress>

#include <cmath>

namespace {
constexpr int kMaxPort = 65535;
constexpr int kMaxPortDigits = 5;

struct CommandEntry
{
    Command command;
    const char *name;
};
const CommandEntry kCommands[] = {
    { Command::List, "list" },     { Command::Convert, "convert" }, { Command::Locate, "locate" },
    { Command::Upload, "upload" }, { Command::Rename, "rename" },   { Command::Monitor, "monitor" },
    { Command::Proxy, "proxy" },   { Command::Read, "read" },       { Command::Station, "station" },
};

Command commandNamed(const QString &name)
{
    for (const CommandEntry &entry : kCommands) {
        if (name == QLatin1String(entry.name))
            return entry.command;
    }
    return Command::None;
}

// Which options a command takes, and whether each takes a value.
struct OptionRule
{
    const char *name;
    bool takesValue;
};

QVector<OptionRule> optionsOf(Command command)
{
    QVector<OptionRule> options = { { "help", false }, { "verbose", false } };
    switch (command) {
    case Command::List:
        options += { { "seconds", true }, { "json", false } };
        break;
    case Command::Locate:
        options += { { "json", false } };
        break;
    case Command::Upload:
        options += { { "board", true },   { "name", true },         { "all", false },
                     { "seconds", true }, { "verify", false },      { "json", false },
                     { "timeout", true }, { "all-matching", false } };
        options += { { "backup", true } };
        options += { { "monitor", false },
                     { "until", true },
                     { "eol", true },
                     { "timestamp", false },
                     { "hex", false } };
        break;
    case Command::Read:
        options += { { "board", true },   { "name", true },         { "all", false },
                     { "seconds", true }, { "json", false },        { "timeout", true },
                     { "output", true },  { "all-matching", false } };
        break;
    case Command::Station:
        options += { { "board", true },   { "verify", false }, { "name", true },   { "log", true },
                     { "seconds", true }, { "reload", false }, { "timeout", true } };
        break;
    case Command::Monitor:
        options += { { "name", true }, { "seconds", true },    { "until", true },
                     { "eol", true },  { "timestamp", false }, { "hex", false } };
        break;
    case Command::Proxy:
        options += { { "name", true },    { "board", true }, { "listen", true },
                     { "clients", true }, { "idle", true },  { "seconds", true } };
        break;
    case Command::Convert:
    case Command::Rename:
    case Command::None:
        break;
    }
    return options;
}

const OptionRule *findOption(const QVector<OptionRule> &options, const QString &name)
{
    for (const OptionRule &option : options) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

QString bracketed(const QString &address)
{
    return address.contains(QLatin1Char(':')) ? QLatin1Char('[') + address + QLatin1Char(']')
                                              : address;
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
    bool takeOption(const QString &argument, int *index);
    bool applyOption(const QString &name, const QString &value);
    bool applyPositionals();
    bool fail(const QString &message)
    {
        if (result.error.isEmpty())
            result.error = message;
        return false;
    }

    const QStringList &arguments;
    ParsedCommandLine result;
    QStringList positionals;
    bool boardGiven = false;
};

ParsedCommandLine Parser::parse()
{
    Options &options = result.options;
    if (arguments.isEmpty()) {
        fail(QStringLiteral("no command given"));
        return result;
    }
    const QString first = arguments.first();
    if (first == QLatin1String("--version")) {
        options.version = true;
        if (arguments.size() > 1)
            fail(QStringLiteral("--version takes nothing after it"));
        return result;
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h")
        || first == QLatin1String("help")) {
        options.help = true;
        if (arguments.size() > 1) {
            options.command = commandNamed(arguments.at(1));
            if (options.command == Command::None)
                fail(QStringLiteral("unknown command '%1'").arg(arguments.at(1)));
        }
        return result;
    }
    options.command = commandNamed(first);
    if (options.command == Command::None) {
        fail(first.startsWith(QLatin1Char('-'))
                 ? QStringLiteral("a command comes first, not the option '%1'").arg(first)
                 : QStringLiteral("unknown command '%1'").arg(first));
        return result;
    }

    bool optionsEnded = false;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString &argument = arguments.at(index);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (!takeOption(argument, &index))
                return result;
        } else {
            positionals << argument;
        }
    }
    if (options.help)
        return result;
    applyPositionals();
    return result;
}

bool Parser::takeOption(const QString &argument, int *index)
{
    const QString command = commandName(result.options.command);
    if (argument == QLatin1String("-h"))
        return applyOption(QStringLiteral("help"), QString());
    if (argument == QLatin1String("-o")
        && findOption(optionsOf(result.options.command), QStringLiteral("output"))) {
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("-o needs a file name"));
        return applyOption(QStringLiteral("output"), arguments.at(++*index));
    }
    if (!argument.startsWith(QLatin1String("--")))
        return fail(QStringLiteral("unknown option '%1' for %2").arg(argument, command));

    QString name = argument.mid(2);
    QString value;
    bool valueGiven = false;
    const int equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0) {
        value = name.mid(equals + 1);
        name = name.left(equals);
        valueGiven = true;
    }
    const QVector<OptionRule> known = optionsOf(result.options.command);
    const OptionRule *rule = findOption(known, name);
    if (!rule)
        return fail(QStringLiteral("unknown option '--%1' for %2").arg(name, command));
    if (rule->takesValue && !valueGiven) {
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("--%1 needs a value").arg(name));
        value = arguments.at(++*index);
    } else if (!rule->takesValue && valueGiven) {
        return fail(QStringLiteral("--%1 takes no value").arg(name));
    }
    return applyOption(name, value);
}

bool Parser::applyOption(const QString &name, const QString &value)
{
    Options &options = result.options;
    if (name == QLatin1String("help")) {
        options.help = true;
    } else if (name == QLatin1String("verbose")) {
        options.verbose = true;
    } else if (name == QLatin1String("json")) {
        options.json = true;
    } else if (name == QLatin1String("all")) {
        options.all = true;
    } else if (name == QLatin1String("all-matching")) {
        options.allMatching = true;
    } else if (name == QLatin1String("verify")) {
        options.verify = true;
    } else if (name == QLatin1String("seconds")) {
        const std::optional<double> seconds = parseSeconds(value, kMaxListenSeconds);
        if (!seconds)
            return fail(QStringLiteral("bad --seconds '%1': a number of seconds above 0 and at "
                                       "most %2")
                            .arg(value)
                            .arg(kMaxListenSeconds));
        options.seconds = *seconds;
        options.secondsGiven = true;
    } else if (name == QLatin1String("timeout")) {
        const std::optional<double> seconds = parseSeconds(value, kMaxUploadTimeoutSeconds);
        if (!seconds)
            return fail(QStringLiteral("bad --timeout '%1': a number of seconds above 0 and at "
                                       "most %2")
                            .arg(value)
                            .arg(kMaxUploadTimeoutSeconds));
        options.timeoutSeconds = *seconds;
    } else if (name == QLatin1String("board")) {
        const std::optional<QString> board = canonicalBoard(value);
        if (!board)
            return fail(QStringLiteral("unknown board '%1': use one of %2")
                            .arg(value, boardNames().join(QStringLiteral(", "))));
        options.board = *board;
        boardGiven = true;
    } else if (name == QLatin1String("reload")) {
        options.reload = true;
    } else if (name == QLatin1String("log")) {
        if (value.isEmpty())
            return fail(QStringLiteral("--log needs a file name"));
        options.logPath = value;
    } else if (name == QLatin1String("output") || name == QLatin1String("backup")) {
        if (value.isEmpty())
            return fail(QStringLiteral("--%1 needs a path").arg(name));
        (name == QLatin1String("output") ? options.output : options.backupDir) = value;
        options.outputGiven = options.outputGiven || name == QLatin1String("output");
    } else if (name == QLatin1String("name")) {
        if (value.isEmpty())
            return fail(QStringLiteral("--name needs a module name"));
        options.names << value;
    } else if (QString error; applyMonitorOption(options, name, value, &error)
               || applyProxyOption(options, name, value, &error)) {
        if (!error.isEmpty())
            return fail(error);
    }
    return true;
}

bool Parser::applyPositionals()
{
    Options &options = result.options;
    const QString command = commandName(options.command);
    const auto tooMany = [&](int allowed) {
        return fail(QStringLiteral("%1 takes %2, not '%3'")
                        .arg(command,
                             allowed == 0 ? QStringLiteral("no arguments")
                                          : QStringLiteral("at most %1 arguments").arg(allowed),
                             positionals.at(allowed)));
    };
    switch (options.command) {
    case Command::List:
    case Command::Locate:
        if (!positionals.isEmpty())
            return tooMany(0);
        return true;
    case Command::Convert:
        if (positionals.isEmpty())
            return fail(QStringLiteral("convert needs a HEX file"));
        if (positionals.size() > 2)
            return tooMany(2);
        options.file = positionals.at(0);
        if (positionals.size() == 2)
            options.output = positionals.at(1);
        return true;
    case Command::Rename: {
        if (positionals.size() != 3)
            return fail(QStringLiteral("rename needs IP ATPORT NAME"));
        const QHostAddress address(positionals.at(0));
        if (address.isNull())
            return fail(QStringLiteral("bad address '%1': an IPv4 or IPv6 address is needed")
                            .arg(positionals.at(0)));
        const std::optional<quint16> port = parsePort(positionals.at(1));
        if (!port)
            return fail(QStringLiteral("bad AT port '%1': a port is a number from 1 to 65535")
                            .arg(positionals.at(1)));
        options.renameAddress = address.toString();
        options.renamePort = *port;
        options.newName = positionals.at(2);
        const QString problem = hostNameProblem(options.newName);
        if (!problem.isEmpty())
            return fail(QStringLiteral("bad name: %1; nothing was sent").arg(problem));
        return true;
    }
    case Command::Read:
    case Command::Upload: {
        const bool upload = options.command == Command::Upload;
        if (upload && positionals.isEmpty())
            return fail(QStringLiteral("upload needs a HEX file"));
        if (!boardGiven)
            return fail(QStringLiteral("%1 needs --board (%2)")
                            .arg(command, boardNames().join(QStringLiteral(", "))));
        if (!upload && !options.outputGiven)
            return fail(QStringLiteral("read needs -o FILE (.hex or .bin) or -o DIRECTORY"));
        if (upload)
            options.file = positionals.takeFirst();
        for (const QString &text : positionals) {
            QString error;
            const std::optional<Target> target = parseTarget(text, &error);
            if (!target)
                return fail(error);
            options.targets << *target;
        }
        if (options.targets.isEmpty() && options.names.isEmpty() && !options.all)
            return fail(QStringLiteral("%1 needs a target: IP:DATAPORT:ATPORT, --name NAME "
                                       "or --all")
                            .arg(command));
        if (options.monitor && (options.all || options.targets.size() + options.names.size() != 1))
            return fail(QStringLiteral("upload --monitor takes exactly one target"));
        if (options.monitor && options.json)
            return fail(QStringLiteral("--monitor and --json cannot go together"));
        if (!options.monitor && (options.timestamp || options.hex || !options.until.isEmpty()))
            return fail(QStringLiteral("--until, --timestamp and --hex need --monitor"));
        return true;
    }
    case Command::Station:
        if (positionals.size() != 1)
            return fail(QStringLiteral("station needs one HEX file"));
        if (!boardGiven)
            return fail(QStringLiteral("station needs --board (%1)")
                            .arg(boardNames().join(QStringLiteral(", "))));
        options.file = positionals.first();
        return true;
    case Command::Monitor:
    case Command::Proxy: {
        if (options.command == Command::Proxy && !boardGiven)
            return fail(QStringLiteral("proxy needs --board (%1)")
                            .arg(boardNames().join(QStringLiteral(", "))));
        if (positionals.size() + options.names.size() != 1)
            return fail(QStringLiteral("%1 takes exactly one target: %2 or --name NAME")
                            .arg(command,
                                 options.command == Command::Proxy
                                     ? QStringLiteral("IP:DATAPORT:ATPORT")
                                     : QStringLiteral("IP:DATAPORT[:ATPORT]")));
        if (positionals.isEmpty())
            return true;
        QString error;
        const std::optional<Target> target = options.command == Command::Proxy
            ? parseTarget(positionals.first(), &error)
            : parseMonitorTarget(positionals.first(), &error);
        if (!target)
            return fail(error);
        options.targets << *target;
        return true;
    }
    case Command::None:
        break;
    }
    return true;
}
} // namespace

QString Target::text() const
{
    return QStringLiteral("%1:%2:%3").arg(bracketed(address)).arg(dataPort).arg(atPort);
}

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
    for (const CommandEntry &entry : kCommands) {
        if (entry.command == command)
            return QString::fromLatin1(entry.name);
    }
    return QString();
}

std::optional<quint16> parsePort(const QString &text)
{
    if (text.isEmpty() || text.size() > kMaxPortDigits)
        return std::nullopt;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt(nullptr, 10);
    if (value < 1 || value > kMaxPort)
        return std::nullopt;
    return static_cast<quint16>(value);
}

std::optional<Target> parseTarget(const QString &text, QString *error)
{
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("bad target '%1': %2").arg(text, why);
        return std::nullopt;
    };
    const int atColon = text.lastIndexOf(QLatin1Char(':'));
    const int dataColon = atColon > 0 ? text.lastIndexOf(QLatin1Char(':'), atColon - 1) : -1;
    if (dataColon <= 0)
        return fail(QStringLiteral("expected IP:DATAPORT:ATPORT"));
    QString addressText = text.left(dataColon);
    if (addressText.startsWith(QLatin1Char('[')) && addressText.endsWith(QLatin1Char(']')))
        addressText = addressText.mid(1, addressText.size() - 2);
    const QHostAddress address(addressText);
    if (address.isNull())
        return fail(QStringLiteral("'%1' is not an IP address").arg(addressText));
    const QString dataText = text.mid(dataColon + 1, atColon - dataColon - 1);
    const QString atText = text.mid(atColon + 1);
    const std::optional<quint16> dataPort = parsePort(dataText);
    if (!dataPort)
        return fail(
            QStringLiteral("bad data port '%1': a port is a number from 1 to 65535").arg(dataText));
    const std::optional<quint16> atPort = parsePort(atText);
    if (!atPort)
        return fail(
            QStringLiteral("bad AT port '%1': a port is a number from 1 to 65535").arg(atText));
    Target target;
    target.address = address.toString();
    target.dataPort = *dataPort;
    target.atPort = *atPort;
    return target;
}

std::optional<QString> canonicalBoard(const QString &text)
{
    if (const Board *board = boardNamedIgnoringCase(text))
        return QString::fromLatin1(board->name);
    return std::nullopt;
}

QStringList boardNames()
{
    QStringList names;
    for (const Board &board : boards())
        names << QString::fromLatin1(board.name);
    return names;
}

std::optional<double> parseSeconds(const QString &text, double limit)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0.0 || value > limit)
        return std::nullopt;
    return value;
}

QString usageText(Command command)
{
    switch (command) {
    case Command::List:
        return QStringLiteral(R"(Usage: rudireze-cli list [--seconds N] [--json]

Listens for module announcements on UDP port 3333 for N seconds (default 3)
and prints every module heard: name, address, data port and AT port. This
host's own announcements are left out, as the window leaves them out. A
module that announces itself again with other values shows its latest ones.

  --seconds N   how long to listen (decimals allowed, at most 3600)
  --json        print {"modules": [{"name", "address", "dataPort", "atPort"}]}
                with every value the text the module announced
  -h, --help    show this text

Exit status: 0 when the listening ran (also when no module was heard),
1 when UDP port 3333 cannot be bound, 2 for a usage error.
)");
    case Command::Convert:
        return QStringLiteral(R"(Usage: rudireze-cli convert FILE.hex [OUT.bin]

Converts an Intel HEX file into the flat binary image the window uploads,
exactly as the window converts it, and writes it to OUT.bin (default
./update.bin). The byte for address A lands at offset A; gaps read as zero.
A file that cannot be converted is named with the line at fault, and nothing
is written.

  -h, --help    show this text

Exit status: 0 when the image was written, 1 when the file could not be
read, converted or written, 2 for a usage error.
)");
    case Command::Locate:
        return QStringLiteral(R"(Usage: rudireze-cli locate [--json]

Prints the default firmware file the window would take right now: the newest
sketch image (.ino.hex or .cpp.hex) an Arduino-style build left in the
temporary directory, with its full path and the time text the window shows.
Unlike the window, it appends nothing to ./log.txt.

  --json        print {"path": ..., "time": ...} (both null when none)
  -h, --help    show this text

Exit status: 0 when a file was found, 1 when none was, 2 for a usage error.
)");
    case Command::Upload:
        return QStringLiteral(R"(Usage: rudireze-cli upload FILE.hex --board BOARD [TARGET...]
                            [--name NAME]... [--all-matching] [--all] [--seconds N]
                            [--verify] [--json] [--timeout S]
                            [--monitor [monitor options]]

Converts FILE.hex as the window does and uploads the image to every target
at the same time, one worker each, with the window's upload engine.

  TARGET         IP:DATAPORT:ATPORT of a module ([IPv6]:DATAPORT:ATPORT)
  --board BOARD  UNO (STK500 version 1), MEGA2560, Orvex3 or Orvex0
                 (STK500 version 2); letter case does not matter; the
                 image must fit below the board's bootloader: 32256 bytes
                 on the UNO, 253952 on the others
  --name NAME    the module announcing this name (repeatable); listening
                 stops a second after every name was heard; a name heard
                 from more than one address is refused
  --all-matching every module announcing one of the names
  --all          every module heard announcing itself
  --seconds N    how long to listen for --name and --all (default 3)
  --backup DIR   before writing, in the same bootloader session, read each
                 board's program as "read" does into
                 DIR/<name or address>-<date>-<time>.hex; a board whose copy
                 cannot be kept is not written
  --verify       after writing, read the flash back before leaving
                 programming mode and compare it with the image; a
                 difference fails the target and its first address is shown
  --json         print one result per target instead of the progress
                 display: {"results": [{"target", "address", "dataPort",
                 "atPort", "name", "board", "bytes", "seconds", "status",
                 "verified", "firstMismatch", "error", "file"}], "succeeded",
                 "failed"} ("file": the --backup copy, or null)
                 status is one of ok, failed, unreachable, verify-failed,
                 timeout, not-found, interrupted
  --timeout S    stop every upload still running after S seconds (default
                 600)
  --verbose      let the engine's diagnostics through to standard error
  --monitor      one target only: after a successful upload, keep its data
                 connection and go on as "rudireze-cli monitor", so the new
                 program's first lines are not missed; takes monitor's
                 --until, --eol, --timestamp and --hex, and --seconds then
                 bounds the monitoring (--name listens for 3 s); the exit
                 status is then the monitor's
  -h, --help     show this text

On a terminal each target has a line with a bar and a percentage (when they
all fit on the screen); otherwise plain lines are printed as the uploads go
on. A summary follows.

SIGINT (Ctrl-C), SIGTERM or SIGHUP stops the uploads still under way; the
summary (or the JSON) follows with those marked interrupted, and the exit
status is 130, 143 or 129. A second signal ends the program at once.

Exit status: 0 when every target succeeded, 1 when any failed (or none was
found), 2 for a usage error, a HEX file that gives no image for the board or
a --name heard from more than one address (nothing is uploaded then), 128 +
the signal's number when one interrupted it.
)");
    case Command::Rename:
        return QStringLiteral(R"(Usage: rudireze-cli rename IP ATPORT NAME

Sends "AT+HOSTNAME=" and NAME to the module's AT port, as the window does
when a Name cell is edited: one connection (3 s to connect), the reply waited
for up to 1 s and not judged. Characters outside Latin-1 are sent as "?".
A name with a control character, with "AT+" in any letter case, or longer
than 32 characters is refused. The module's later announcements carry the
new name.

  -h, --help    show this text

Exit status: 0 when the command was sent, 1 when no connection was made,
2 for a usage error or a refused name.
)");
    case Command::Read:
        return QStringLiteral(
            R"(Usage: rudireze-cli read [TARGET...] --board BOARD -o FILE|DIRECTORY
                          [--name NAME]... [--all-matching] [--all] [--seconds N]
                          [--json] [--timeout S]

Reads the program a board holds through its bootloader: the whole
application area (the flash below the bootloader, 32256 bytes on an UNO,
253952 on a MEGA2560), without its erased tail, written as Intel HEX, or as
a raw image when FILE ends in ".bin". The file is replaced in one step, and
uploading it puts the program back. Nothing is written to the board.

  -o, --output FILE   where the copy goes; with a DIRECTORY, each target's
                      copy is DIRECTORY/<name or address>-<date>-<time>.hex,
                      which several targets need
  TARGET, --board, --name, --all-matching, --all, --seconds, --json,
  --timeout, --verbose   as for upload
  -h, --help          show this text

Exit status: 0 when every target was read and kept, 1 when any failed, 2 for
a usage error.
)");
    case Command::Station:
        return stationUsageText();
    case Command::Monitor:
        return monitorUsageText();
    case Command::Proxy:
        return proxyUsageText();
    case Command::None:
        break;
    }
    return QStringLiteral(R"(Usage: rudireze-cli COMMAND [OPTIONS]

Writes firmware into AVR boards behind Wi-Fi serial bridge modules, with the
window's own engine, from a terminal or a script.

Commands:
  list      print the modules announcing themselves
  convert   convert an Intel HEX file into a flat image
  locate    print the default firmware file the window would take
  upload    upload a HEX file to one or many boards at once
  read      keep a copy of the program a board holds
  station   flash every board that appears, as it appears
  rename    give a module a new name
  monitor   show the board's serial output, send it typed lines
  proxy     a local port for programs that speak STK500 themselves

"rudireze-cli COMMAND --help" describes a command; "rudireze-cli --version"
prints the version.

Exit status: 0 success, 1 failure, 2 usage error.

Free software under the GNU General Public License, version 3 or later
(GPL-3.0-or-later); it comes with no warranty.
)");
}
