#include "modulecommandline.h"

#include <QSet>

#include <functional>
#include <limits>

namespace {
constexpr int kMaxModules = 250;
constexpr int kMaxIntervalMs = 3600 * 1000;
constexpr int kMaxLatencyMs = 60 * 1000;
constexpr int kMaxBaud = 10000000;
constexpr int kMaxSplitPieces = 64;
constexpr int kMaxPageWriteUs = 10 * 1000 * 1000;
constexpr int kMaxCommandNumber = 1000000;
constexpr double kMaxSeconds = 7 * 24 * 3600;
constexpr double kMaxSimulationSpeed = 100.0;
constexpr int kMsPerSecond = 1000;
constexpr int kMaxPort = 65535;
const QString kFirstAddress = QStringLiteral("127.0.0.2");

bool parseInt(const QString &text, int minimum, int maximum, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

bool parseSeconds(const QString &text, int *ms)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || seconds < 0 || seconds > kMaxSeconds)
        return false;
    *ms = qRound(seconds * kMsPerSecond);
    return true;
}

bool parseIPv4(const QString &text, QHostAddress *address)
{
    QHostAddress parsed;
    if (!parsed.setAddress(text) || parsed.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *address = parsed;
    return true;
}

using Handler = std::function<bool(ModuleGroupSetup &, const QString &)>;

struct Option
{
    QString name;
    bool takesValue;
    QString expected; // what a value must be, for the error message
    Handler handler;
};

Handler intInto(int minimum, int maximum, std::function<int &(ModuleGroupSetup &)> field)
{
    return [=](ModuleGroupSetup &g, const QString &v) {
        return parseInt(v, minimum, maximum, &field(g));
    };
}

Handler flag(std::function<bool &(ModuleGroupSetup &)> field)
{
    return [=](ModuleGroupSetup &g, const QString &) {
        field(g) = true;
        return true;
    };
}

Handler portInto(std::function<quint16 &(ModuleGroupSetup &)> field)
{
    return [=](ModuleGroupSetup &g, const QString &v) {
        int port = 0;
        if (!parseInt(v, 0, kMaxPort, &port))
            return false;
        field(g) = quint16(port);
        return true;
    };
}

QList<Option> moduleOptions()
{
    const QString count = QStringLiteral("a number from 1 to %1").arg(kMaxModules);
    const QString port = QStringLiteral("a port number from 0 to 65535");
    const QString number = QStringLiteral("a command number from 1 on");
    return {
        { QStringLiteral("count"), true, count,
          intInto(1, kMaxModules, [](ModuleGroupSetup &g) -> int & { return g.count; }) },
        { QStringLiteral("address"), true, QStringLiteral("an IPv4 address"),
          [](ModuleGroupSetup &g, const QString &v) { return parseIPv4(v, &g.options.address); } },
        { QStringLiteral("name"), true, QStringLiteral("a name"),
          [](ModuleGroupSetup &g, const QString &v) {
              g.options.name = v;
              return !v.isEmpty();
          } },
        { QStringLiteral("board"), true, QStringLiteral("uno or mega, or uno-sim or mega-sim"),
          [](ModuleGroupSetup &g, const QString &v) {
              QString board = v.toLower();
              const QLatin1String simulated("-sim");
              g.options.simulatedBoard = board.endsWith(simulated);
              if (g.options.simulatedBoard)
                  board.chop(simulated.size());
              if (board == QLatin1String("uno"))
                  g.options.board = BoardType::Uno;
              else if (board == QLatin1String("mega") || board == QLatin1String("mega2560"))
                  g.options.board = BoardType::Mega;
              else
                  return false;
              return true;
          } },
        { QStringLiteral("sim-speed"), true,
          QStringLiteral("a factor from 0 to %1").arg(kMaxSimulationSpeed),
          [](ModuleGroupSetup &g, const QString &v) {
              bool ok = false;
              const double factor = v.toDouble(&ok);
              if (!ok || factor < 0 || factor > kMaxSimulationSpeed)
                  return false;
              g.options.simulationSpeed = factor;
              return true;
          } },
        { QStringLiteral("data-port"), true, port,
          portInto([](ModuleGroupSetup &g) -> quint16 & { return g.options.dataPort; }) },
        { QStringLiteral("at-port"), true, port,
          portInto([](ModuleGroupSetup &g) -> quint16 & { return g.options.atPort; }) },
        { QStringLiteral("announce-ms"), true,
          QStringLiteral("milliseconds from 0 to %1").arg(kMaxIntervalMs),
          intInto(0, kMaxIntervalMs,
                  [](ModuleGroupSetup &g) -> int & { return g.options.announceIntervalMs; }) },
        { QStringLiteral("announce-to"), true, QStringLiteral("ADDRESS or ADDRESS:PORT"),
          [](ModuleGroupSetup &g, const QString &v) {
              const int colon = v.indexOf(QLatin1Char(':'));
              if (colon >= 0) {
                  int p = 0;
                  if (!parseInt(v.mid(colon + 1), 1, kMaxPort, &p))
                      return false;
                  g.options.announcePort = quint16(p);
              }
              return parseIPv4(v.left(colon), &g.options.announceAddress);
          } },
        { QStringLiteral("in-bootloader"), false, {}, flag([](ModuleGroupSetup &g) -> bool & {
              return g.options.startInBootloader;
          }) },
        { QStringLiteral("flash-in"), true, QStringLiteral("a file"),
          [](ModuleGroupSetup &g, const QString &v) {
              g.flashIn = v;
              return !v.isEmpty();
          } },
        { QStringLiteral("flash-out"), true, QStringLiteral("a file name pattern"),
          [](ModuleGroupSetup &g, const QString &v) {
              g.flashOut = v;
              return !v.isEmpty();
          } },
        { QStringLiteral("baud"), true, QStringLiteral("a baud rate from 0 to %1").arg(kMaxBaud),
          intInto(0, kMaxBaud, [](ModuleGroupSetup &g) -> int & { return g.options.link.baud; }) },
        { QStringLiteral("latency-ms"), true,
          QStringLiteral("milliseconds from 0 to %1").arg(kMaxLatencyMs),
          intInto(0, kMaxLatencyMs,
                  [](ModuleGroupSetup &g) -> int & { return g.options.link.latencyMs; }) },
        { QStringLiteral("page-write-us"), true,
          QStringLiteral("microseconds from 0 to %1").arg(kMaxPageWriteUs),
          [](ModuleGroupSetup &g, const QString &v) {
              int us = 0;
              if (!parseInt(v, 0, kMaxPageWriteUs, &us))
                  return false;
              g.options.link.pageWriteUs = us;
              return true;
          } },
        { QStringLiteral("bridge"), true, QStringLiteral("packed, bytes or random"),
          [](ModuleGroupSetup &g, const QString &v) {
              for (BridgeMode mode :
                   { BridgeMode::Packed, BridgeMode::Bytes, BridgeMode::Random }) {
                  if (v == bridgeModeName(mode)) {
                      g.options.link.bridge = mode;
                      return true;
                  }
              }
              return false;
          } },
        { QStringLiteral("bridge-seed"), true,
          QStringLiteral("a number from 0 to %1").arg(std::numeric_limits<quint32>::max()),
          [](ModuleGroupSetup &g, const QString &v) {
              bool ok = false;
              const quint32 seed = v.toUInt(&ok, 10);
              if (ok)
                  g.options.link.bridgeSeed = seed;
              return ok;
          } },
        { QStringLiteral("uart"), true, QStringLiteral("paced or lossy"),
          [](ModuleGroupSetup &g, const QString &v) {
              g.options.link.lossyUart = v == QLatin1String("lossy");
              return g.options.link.lossyUart || v == QLatin1String("paced");
          } },
        { QStringLiteral("split-replies"), true,
          QStringLiteral("PIECES or PIECES:GAP_MS, pieces from 2 to %1").arg(kMaxSplitPieces),
          [](ModuleGroupSetup &g, const QString &v) {
              const QStringList parts = v.split(QLatin1Char(':'));
              if (parts.size() > 2
                  || !parseInt(parts.at(0), 2, kMaxSplitPieces, &g.options.faults.splitPieces))
                  return false;
              return parts.size() < 2
                  || parseInt(parts.at(1), 0, kMaxLatencyMs, &g.options.faults.splitGapMs);
          } },
        { QStringLiteral("short-reply"), true, number,
          intInto(1, kMaxCommandNumber,
                  [](ModuleGroupSetup &g) -> int & { return g.options.faults.shortReplyAt; }) },
        { QStringLiteral("long-reply"), true, number,
          intInto(1, kMaxCommandNumber,
                  [](ModuleGroupSetup &g) -> int & { return g.options.faults.longReplyAt; }) },
        { QStringLiteral("no-reply"), true, number,
          intInto(1, kMaxCommandNumber,
                  [](ModuleGroupSetup &g) -> int & { return g.options.faults.noReplyAt; }) },
        { QStringLiteral("close-data-at"), true, number,
          intInto(1, kMaxCommandNumber,
                  [](ModuleGroupSetup &g) -> int & { return g.options.faults.closeDataAt; }) },
        { QStringLiteral("refuse-at"), false, {}, flag([](ModuleGroupSetup &g) -> bool & {
              return g.options.faults.refuseAt;
          }) },
        { QStringLiteral("refuse-data"), false, {}, flag([](ModuleGroupSetup &g) -> bool & {
              return g.options.faults.refuseData;
          }) },
        { QStringLiteral("at-one-byte"), false, {}, flag([](ModuleGroupSetup &g) -> bool & {
              return g.options.faults.oneByteAtReply;
          }) },
        { QStringLiteral("stop-announcing-after"), true, QStringLiteral("seconds"),
          [](ModuleGroupSetup &g, const QString &v) {
              return parseSeconds(v, &g.options.faults.stopAnnouncingAfterMs);
          } },
        { QStringLiteral("small-rx-buffer"), false, {}, flag([](ModuleGroupSetup &g) -> bool & {
              return g.options.faults.smallReceiveBuffer;
          }) },
        { QStringLiteral("corrupt-page"), true, QStringLiteral("a page number from 0 on"),
          intInto(0, kMaxCommandNumber,
                  [](ModuleGroupSetup &g) -> int & { return g.options.faults.corruptPage; }) },
    };
}
} // namespace

QString flashOutPath(const QString &pattern, const QHostAddress &address, int number)
{
    QString path = pattern;
    path.replace(QLatin1String("%a"), address.toString());
    path.replace(QLatin1String("%n"), QString::number(number));
    return path;
}

bool parseVirtualModuleCommandLine(const QStringList &arguments, VirtualModuleCommandLine *out,
                                   QString *error)
{
    *out = VirtualModuleCommandLine();
    const QList<Option> options = moduleOptions();
    ModuleGroupSetup group;
    group.options.address = QHostAddress(kFirstAddress);
    bool addressGiven = false;
    QHostAddress nextAddress(kFirstAddress);

    const auto finishGroup = [&] {
        if (!addressGiven)
            group.options.address = nextAddress;
        nextAddress = QHostAddress(group.options.address.toIPv4Address() + quint32(group.count));
        out->groups.append(group);
        group = ModuleGroupSetup();
        addressGiven = false;
    };
    const auto fail = [error](const QString &message) {
        *error = message;
        return false;
    };

    for (int i = 0; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            out->help = true;
            return true;
        }
        if (argument == QLatin1String("--and")) {
            finishGroup();
            continue;
        }
        if (!argument.startsWith(QLatin1String("--")))
            return fail(
                QStringLiteral("unexpected argument \"%1\" (options start with --)").arg(argument));
        QString name = argument.mid(2);
        QString value;
        bool valueGiven = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            valueGiven = true;
        }

        const bool global = name == QLatin1String("exit-after") || name == QLatin1String("log")
            || name == QLatin1String("quiet");
        const Option *option = nullptr;
        for (const Option &candidate : options) {
            if (candidate.name == name)
                option = &candidate;
        }
        if (!global && !option)
            return fail(QStringLiteral("unknown option --%1 (see --help)").arg(name));
        const bool takesValue = global ? name != QLatin1String("quiet") : option->takesValue;
        if (takesValue && !valueGiven) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("--%1 needs a value").arg(name));
            value = arguments.at(++i);
        } else if (!takesValue && valueGiven) {
            return fail(QStringLiteral("--%1 takes no value").arg(name));
        }

        if (global) {
            if (name == QLatin1String("exit-after")) {
                if (!parseSeconds(value, &out->exitAfterMs) || out->exitAfterMs == 0)
                    return fail(QStringLiteral(
                                    "--exit-after needs a positive number of seconds, not \"%1\"")
                                    .arg(value));
            } else if (name == QLatin1String("log")) {
                if (value.isEmpty())
                    return fail(QStringLiteral("--log needs a file name"));
                out->logPath = value;
            } else {
                out->quiet = true;
            }
            continue;
        }
        if (name == QLatin1String("address"))
            addressGiven = true;
        if (!option->handler(group, value))
            return fail(
                QStringLiteral("--%1 needs %2, not \"%3\"").arg(name, option->expected, value));
    }
    finishGroup();

    QSet<quint32> addresses;
    QSet<QString> flashFiles;
    int number = 0;
    for (const ModuleGroupSetup &g : qAsConst(out->groups)) {
        if (g.count > 1 && !g.flashOut.isEmpty() && !g.flashOut.contains(QLatin1String("%a"))
            && !g.flashOut.contains(QLatin1String("%n")))
            return fail(QStringLiteral("--flash-out names %1 modules: put %a or %n in \"%2\"")
                            .arg(g.count)
                            .arg(g.flashOut));
        for (int i = 0; i < g.count; ++i) {
            ++number;
            const QHostAddress address(g.options.address.toIPv4Address() + quint32(i));
            if (addresses.contains(address.toIPv4Address()))
                return fail(QStringLiteral("two modules would have the address %1")
                                .arg(address.toString()));
            addresses.insert(address.toIPv4Address());
            if (!g.flashOut.isEmpty()) {
                const QString path = flashOutPath(g.flashOut, address, number);
                if (flashFiles.contains(path))
                    return fail(
                        QStringLiteral("two modules would write their flash to \"%1\"").arg(path));
                flashFiles.insert(path);
            }
        }
    }
    if (number > kMaxModules)
        return fail(QStringLiteral("at most %1 modules in one process").arg(kMaxModules));
    return true;
}

QString virtualModuleUsage()
{
    return QStringLiteral(R"(Usage: virtual-module [OPTIONS] [--and OPTIONS]...

Runs simulated Wi-Fi serial bridge modules on loopback addresses, each with an
emulated board behind it. A module announces itself over UDP, answers AT
commands on its AT port ("AT+U2W=CLIENT", "AT+MCUUPDATE=UNO", "AT+MCUUPDATE=MEGA"
reset the board into its bootloader, "AT+HOSTNAME=name" renames it), and passes
its data port through to the board's bootloader: STK500 version 1 on an
ATmega328P (uno) or STK500 version 2 on an ATmega2560 (mega). Until the first
AT+MCUUPDATE the board runs its application and ignores the data port.

The boards uno-sim and mega-sim are the real thing in a simulator: the MCU
(ATmega328P or ATmega2560) runs in libsimavr with the board's own bootloader
(optiboot, or the stk500v2 bootloader), its UART0 wired to the data port, and
runs whatever program it was given. AT+MCUUPDATE pulls its RESET line, so the
bootloader starts; the bootloader starts the program when it is done or when
nothing comes for about a second. As on an Arduino board, the boot lock bits
keep the bootloader in its section (512 bytes at 0x7E00 on the UNO, 8 KiB at
0x3E000 on the MEGA): a page written there is answered and not written, so an
image too large shows as a flash that differs from it, the bootloader whole.
They need a build with libsimavr, the AVR tool chain and the bootloaders
(Debian packages simavr, libsimavr-dev, gcc-avr, avr-libc, arduino-core-avr);
without them such a module does not start. The faults below apply to the
emulated boards only, except --refuse-at, --refuse-data, --at-one-byte and
--stop-announcing-after; the link options apply to both.

Each "--and" starts another group of modules with options of its own; a group
without --address takes the addresses after the previous group's.

When all modules listen, one line per module is printed to standard output,
  module N address=A data-port=P at-port=P name=NAME board=uno|mega
followed by the line "ready". Ports chosen by the system (port 0) show there;
a simulated board shows as board=uno-sim or board=mega-sim. The last line,
  exit lost-bytes=N
counts the bytes all modules' boards lost to a full receive buffer.

Module options (per group):
  --count N              modules in this group (default 1); names get -1, -2, ...
  --address A            address of the group's first module (default 127.0.0.2)
  --name NAME            module name (default vmodule-<last number of the address>)
  --board BOARD          the board behind the module: uno, mega (emulated
                         bootloaders), uno-sim, mega-sim (simulated MCU with
                         the real bootloader); default mega
  --sim-speed F          simulated time per wall-clock time for uno-sim and
                         mega-sim (default 1, real time; 0: as fast as the
                         host can, which keeps a core busy per board)
  --data-port P          data port (default 0: any free port)
  --at-port P            AT port (default 0: any free port)
  --announce-ms MS       announcement interval (default 1000; 0: never announce)
  --announce-to A[:P]    where announcements go (default 127.0.0.1:3333)
  --in-bootloader        the board starts in its bootloader, without AT+MCUUPDATE
  --flash-in FILE        flash content at start (raw binary; the rest erased;
                         a simulated board keeps its bootloader)
  --flash-out PATTERN    write the flash here on exit, on SIGUSR1, whenever the
                         data connection closes and when the bootloader is left;
                         %a is replaced by the address, %n by the module number

Link emulation (per group):
  --baud N               pace the serial line at N baud, 10 bits a byte, both
                         ways (default 0: no pacing; a simulated board's
                         UART keeps its own rate in any case)
  --latency-ms MS        network delay added in each direction (default 0)
  --page-write-us US     time an emulated bootloader takes to write one flash
                         page (default: the part's own, 4500 for the
                         ATmega328P, 9000 for the ATmega2560)
  --bridge MODE          how the board's bytes are cut into TCP segments:
                         packed (default: one segment once the line has been
                         idle 4 byte times, or 512 bytes), bytes (every byte
                         its own segment as the UART has it), random
                         (segments of random length, a little jitter)
  --bridge-seed N        the seed of --bridge random (default 1; the log
                         shows it)
  --uart MODE            the board's UART receive: paced (default; the line
                         waits until the program has room) or lossy (the
                         chip's two-byte buffer and shift register, filled
                         at the line's rate, and the chip's page write time;
                         a byte arriving when they are full is lost and
                         counted). Lossy on an emulated board is
                         --small-rx-buffer

Faults (per group; command numbers count the bootloader commands since the
last reset, from 1):
  --split-replies N[:MS] send every reply in N pieces MS apart (default 50 ms)
  --short-reply N        the reply to command N lacks its last byte
  --long-reply N         the reply to command N has one extra byte (0x00)
  --no-reply N           command N is carried out but not answered
  --close-data-at N      the data connection is closed when command N arrives
  --refuse-at            nothing listens on the AT port (it is still announced)
  --refuse-data          nothing listens on the data port (it is still announced)
  --at-one-byte          AT commands are answered with one byte
  --stop-announcing-after S   fall silent S seconds after start
  --small-rx-buffer      the chip's receive buffer (two bytes plus the shift
                         register): bytes arriving while a page is written and
                         the buffer is full are lost
  --corrupt-page N       the first byte of flash page N reads back with its
                         lowest bit inverted after every write into that page

General options (for the whole process, anywhere on the line):
  --exit-after S         exit after S seconds (decimals allowed)
  --log FILE             append a log of everything received to FILE
  --quiet                print nothing but errors
  -h, --help             show this text

The process exits cleanly on SIGINT and SIGTERM (writing the flash files), and
writes the flash files without exiting on SIGUSR1. Exit status: 0 after a clean
exit, 1 when a module could not start, 2 for bad arguments.

Examples:
  virtual-module --board uno --and --board mega --and --board mega --baud 115200
  virtual-module --count 32 --board mega --announce-ms 500 --exit-after 60
  virtual-module --count 2 --board uno-sim --flash-out uno-%n.bin
)");
}
