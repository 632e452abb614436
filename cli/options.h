#pragma once

// What a command line asks for, and how its values are read: the parser
// fills these in, the commands read them.

#include "common/names.h"

#include <QByteArray>
#include <QDir>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

struct Board;

// Exit statuses scripts can rely on.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1; // something was attempted and did not work
constexpr int kExitUsage = 2; // nothing was attempted: the command line cannot be acted on

// Options give times in seconds; waits take milliseconds.
constexpr double kMsecsPerSecond = 1000.0;

// How long list and --name/--all listen for announcements unless told.
constexpr double kDefaultListenSeconds = 3.0;
constexpr double kMaxListenSeconds = 3600.0;
// Every upload of one run ends by this time at the latest unless told.
constexpr double kDefaultUploadTimeoutSeconds = 600.0;
constexpr double kMaxUploadTimeoutSeconds = 24 * 3600.0;
// How long a proxy client may keep the board while nothing passes, unless told.
constexpr double kDefaultProxyIdleSeconds = 30.0;
// The most clients proxy --clients takes.
constexpr int kMaxProxyClients = 1000000;
// How many boards the station flashes at the same time unless told, and at
// most: each upload holds a thread and two connections, a few descriptors in
// all, and the process must stay well inside the usual limit of 1,024.
constexpr int kDefaultStationParallel = 32;
constexpr int kMaxStationParallel = 128;

enum class Command {
    None,
    List,
    Convert,
    Locate,
    Upload,
    Rename,
    Monitor,
    Proxy,
    Read,
    Station,
    Discovery,
    MonitorTool,
    InstallPlatform,
};

// A module to upload to: its address and its two ports.
struct Target
{
    QString address;
    quint16 dataPort = 0;
    quint16 atPort = 0;
    // The announced name when the target came from an announcement.
    QString name;

    // IP:DATAPORT:ATPORT (an IPv6 address in brackets).
    QString text() const;
};

struct Options
{
    Command command = Command::None;
    bool help = false;
    bool version = false;
    bool json = false;
    bool verbose = false;
    double seconds = kDefaultListenSeconds;

    // convert and upload
    QString file;
    // The image the window's conversion writes (named without its "./").
    QString output = QDir::cleanPath(QString::fromLatin1(kImagePath));

    // upload, read, station and proxy: looked up once, as the parser reads it
    const Board *board = nullptr;
    QVector<Target> targets;
    QStringList names;
    bool all = false;
    // --name may match modules at several addresses.
    bool allMatching = false;
    bool verify = false;
    double timeoutSeconds = kDefaultUploadTimeoutSeconds;
    // upload --backup: where each board's flash is kept before writing
    QString backupDir;
    // read: -o given
    bool outputGiven = false;

    // station (--name then holds shell-style patterns, --seconds its run time)
    QString logPath;
    bool reload = false;
    int parallel = kDefaultStationParallel;

    // monitor, and upload --monitor; --seconds also bounds monitor and proxy
    bool monitor = false;
    bool secondsGiven = false;
    QByteArray eol = QByteArrayLiteral("\n");
    bool timestamp = false;
    bool hex = false;
    QString until;

    // proxy
    QString listenAddress = QStringLiteral("127.0.0.1");
    quint16 listenPort = 0; // 0: a free port
    int clients = 0; // 0: no limit
    // A client that sends nothing this long loses the board.
    double idleSeconds = kDefaultProxyIdleSeconds;

    // install-platform: the sketchbook the platform goes into (empty: the
    // IDE's default)
    QString sketchbook;

    // rename
    QString renameAddress;
    quint16 renamePort = 0;
    QString newName;

    // The board's name as the window spells it; empty when none was given.
    QString boardName() const;
};

// How the command line's values are read; each gives std::nullopt for a
// value that cannot be used.

// An address as a target shows it: an IPv6 address in brackets, so the
// port after it cannot be read as part of it.
QString bracketedAddress(const QString &address);
// A TCP port: decimal digits only, 1 to kMaxPort.
constexpr int kMaxPort = 65535;
std::optional<quint16> parsePort(const QString &text);
// Why parsePort refused the text given for the "data" or "AT" port.
QString badPortMessage(const char *which, const QString &text);
// IP:DATAPORT:ATPORT; the address must be a literal (no name lookup).
std::optional<Target> parseTarget(const QString &text, QString *error);
// The boards in the order the usage text lists them.
QStringList boardNames();
// Seconds above 0 and at most `limit`, decimals allowed.
std::optional<double> parseSeconds(const QString &text, double limit);
// IP:DATAPORT or IP:DATAPORT:ATPORT (atPort 0 when left out), as monitor
// takes it.
std::optional<Target> parseMonitorTarget(const QString &text, QString *error);
// What --eol names: the bytes that end each line sent (lf, crlf, cr, none).
std::optional<QByteArray> lineEnding(const QString &name);
// ADDRESS:PORT for --listen; PORT 0 takes a free port.
std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text);
