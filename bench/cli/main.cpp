// rudireze-cli uploading to many boards at once, and what its --verify costs.
// Every figure is a ratio to something measured in the same run:
//  - N = 1, 4, 16, 32 targets at once on 115200-baud virtual links: the
//    total time against one upload, and one upload against the link limit;
//  - --verify's extra time against avrdude's own verify (with minus without
//    -V) on the same module, after the same AT handshake;
//  - the station's throughput for 32 modules that appear one after the other
//    over 10 s, against uploading to the same 32 at once;
//  - the station under 5,000 made-up modules a second (their ports silent
//    after an AT handshake that succeeds, refusing, or an address nobody
//    has, or 250 addresses nobody has that announce themselves twenty times
//    a second): how long a real module waits to be flashed against the same
//    without the flood, its descriptors at their most against its limit, and
//    its memory at its most against without the flood (--flood runs this
//    part alone; in a network namespace, route 198.18.0.0/15 and
//    192.0.2.0/24 to lo, so that connections to them time out as they would
//    on a bench).
#include "hexwriter.h"
#include "moduleprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kBaud = 115200;
constexpr int kBitsPerByte = 10; // start, eight data bits, stop
constexpr int kImageBytes = 16 * 1024;
constexpr int kRepeats = 3;
const int kTargetCounts[] = { 1, 4, 16, 32 };
constexpr int kModuleLifetimeSeconds = 900;
constexpr int kRunLimitMs = 300000;
constexpr int kConnectMs = 3000;
constexpr int kAtReplyMs = 1000;
constexpr int kStationBoards = 32;
constexpr int kArrivalSpanMs = 10000;
constexpr int kAnnounceIntervalMs = 500;
constexpr int kStationSliceMs = 20;
constexpr quint16 kAnnouncementPort = 3333;
constexpr int kFloodPerSecond = 5000;
constexpr int kFloodSliceMs = 10;
constexpr int kFloodFillMs = 3000;
constexpr int kFloodLimitMs = 60000;
constexpr int kMsPerSecond = 1000;

struct Board
{
    const char *name; // rudireze-cli's --board
    const char *module; // virtual-module's --board
    const char *programmer; // avrdude -c
    const char *part; // avrdude -p
    const char *family; // AT+MCUUPDATE= that resets the board into its bootloader
    const char *firstAddress;
};
const Board kBoards[] = {
    { "UNO", "uno", "arduino", "atmega328p", "UNO", "127.0.10.1" },
    { "MEGA2560", "mega", "wiring", "atmega2560", "MEGA", "127.0.12.1" },
};

bool writeHexFile(const QString &path, const QByteArray &image)
{
    const QByteArray text = HexWriter::plain(image, "\n");
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1.0 : values.at(values.size() / 2);
}

bool startModules(ModuleProcess &modules, const Board &board, int count)
{
    return modules.start(
               { QStringLiteral("--count"), QString::number(count), QStringLiteral("--address"),
                 QString::fromLatin1(board.firstAddress), QStringLiteral("--board"),
                 QString::fromLatin1(board.module), QStringLiteral("--baud"),
                 QString::number(kBaud), QStringLiteral("--announce-ms"), QStringLiteral("0"),
                 QStringLiteral("--exit-after"), QString::number(kModuleLifetimeSeconds) })
        && modules.modules.size() == count;
}

// Seconds one rudireze-cli upload took from start to exit; -1 when it failed.
double timeCli(const QString &hex, const Board &board, const QList<ModuleProcess::Module> &modules,
               bool verify)
{
    QStringList arguments = { QStringLiteral("upload"), hex, QStringLiteral("--board"),
                              QString::fromLatin1(board.name), QStringLiteral("--json") };
    if (verify)
        arguments << QStringLiteral("--verify");
    for (const ModuleProcess::Module &module : modules)
        arguments << targetOf(module);
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        return -1.0;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const QJsonObject report = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    if (process.exitCode() != 0
        || report.value(QStringLiteral("succeeded")).toInt() != modules.size()) {
        std::printf("    rudireze-cli failed: %s\n", process.readAllStandardError().constData());
        return -1.0;
    }
    return seconds;
}

// The module handshake avrdude cannot make: the board is reset into its
// bootloader through the AT port. The connection stays open meanwhile.
bool handshake(QTcpSocket &at, const ModuleProcess::Module &module, const Board &board)
{
    at.connectToHost(module.address, module.atPort);
    return at.waitForConnected(kConnectMs)
        && TestKit::atUpdateHandshake(at, board.family, kAtReplyMs);
}

// Seconds one avrdude write took, with or without its verify; -1 on failure.
double timeAvrdude(const QString &avrdude, const QString &hex, const Board &board,
                   const ModuleProcess::Module &module, bool verify)
{
    QTcpSocket at;
    if (!handshake(at, module, board))
        return -1.0;
    QStringList arguments
        = { QStringLiteral("-c"),
            QString::fromLatin1(board.programmer),
            QStringLiteral("-p"),
            QString::fromLatin1(board.part),
            QStringLiteral("-P"),
            QStringLiteral("net:%1:%2").arg(module.address.toString()).arg(module.dataPort),
            QStringLiteral("-D"),
            QStringLiteral("-q"),
            QStringLiteral("-U"),
            QStringLiteral("flash:w:%1:i").arg(hex) };
    if (!verify)
        arguments << QStringLiteral("-V");
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(avrdude, arguments);
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        return -1.0;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const QByteArray log = process.readAllStandardError();
    // Its own summary line is the judge: the net port lacks the serial
    // line's modem ioctls, which avrdude reports without failing the write.
    if (!log.contains("bytes of flash written")
        || (verify && !log.contains("bytes of flash verified"))) {
        std::printf("    avrdude failed: %s\n", log.constData());
        return -1.0;
    }
    return seconds;
}

bool scaling(const QString &hex, const Board &board)
{
    const double linkLimit = double(kImageBytes) * kBitsPerByte / kBaud;
    std::printf("%s, %d KiB image, %d baud (link limit for the image one way: %.2f s):\n",
                board.name, kImageBytes / 1024, kBaud, linkLimit);
    double one = -1.0;
    for (int count : kTargetCounts) {
        ModuleProcess modules;
        if (!startModules(modules, board, count)) {
            std::printf("  %d modules did not start\n", count);
            return false;
        }
        QVector<double> times;
        for (int repeat = 0; repeat < kRepeats; ++repeat) {
            const double seconds = timeCli(hex, board, modules.modules, false);
            if (seconds < 0)
                return false;
            times << seconds;
        }
        const double total = median(times);
        if (count == 1)
            one = total;
        std::printf("  %2d at once: %6.2f s  = %5.2fx one upload   (one upload = %.2fx the link "
                    "limit)\n",
                    count, total, total / one, one / linkLimit);
    }
    return true;
}

bool verifyCost(const QString &hex, const Board &board, const QString &avrdude)
{
    ModuleProcess modules;
    if (!startModules(modules, board, 1)) {
        std::printf("  the module did not start\n");
        return false;
    }
    const ModuleProcess::Module &module = modules.modules.first();
    QVector<double> ours[2];
    QVector<double> theirs[2];
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        for (int verify = 0; verify < 2; ++verify) {
            const double cli = timeCli(hex, board, { module }, verify);
            if (cli < 0)
                return false;
            ours[verify] << cli;
            if (avrdude.isEmpty())
                continue;
            const double peer = timeAvrdude(avrdude, hex, board, module, verify);
            if (peer < 0)
                return false;
            theirs[verify] << peer;
        }
    }
    const double oursCost = median(ours[1]) - median(ours[0]);
    std::printf("%s --verify, %d KiB at %d baud:\n", board.name, kImageBytes / 1024, kBaud);
    std::printf("  rudireze-cli: %.2f s without, %.2f s with: verify costs %.2f s\n",
                median(ours[0]), median(ours[1]), oursCost);
    if (avrdude.isEmpty()) {
        std::printf("  avrdude not installed: no peer figure\n");
        return true;
    }
    const double theirCost = median(theirs[1]) - median(theirs[0]);
    std::printf("  avrdude -c %s: %.2f s with -V, %.2f s with verify: verify costs %.2f s\n",
                board.programmer, median(theirs[0]), median(theirs[1]), theirCost);
    std::printf("  ratio of verify costs, rudireze-cli / avrdude: %.2fx\n", oursCost / theirCost);
    std::printf("  ratio of whole uploads with verify, rudireze-cli / avrdude: %.2fx\n",
                median(ours[1]) / median(theirs[1]));
    return true;
}
// The station flashing kStationBoards modules that begin to announce
// themselves one by one over kArrivalSpanMs (the benchmark announces them),
// against one upload to all of them at once.
bool stationThroughput(const QString &hex, const Board &board)
{
    ModuleProcess modules;
    if (!startModules(modules, board, kStationBoards)) {
        std::printf("  the modules did not start\n");
        return false;
    }
    const double atOnce = timeCli(hex, board, modules.modules, false);
    if (atOnce < 0)
        return false;

    const QString prefix = QStringLiteral("bench%1").arg(QCoreApplication::applicationPid());
    QProcess station;
    station.start(QStringLiteral(RUDIREZE_CLI_EXE),
                  { QStringLiteral("station"), hex, QStringLiteral("--board"),
                    QString::fromLatin1(board.name), QStringLiteral("--name"),
                    prefix + QStringLiteral("-*") });
    if (!station.waitForReadyRead(kConnectMs)) {
        std::printf("  the station did not start\n");
        return false;
    }
    QList<QUdpSocket *> senders;
    for (const ModuleProcess::Module &module : modules.modules) {
        senders << new QUdpSocket(&station);
        senders.last()->bind(module.address, 0);
    }
    const QRegularExpression finished(
        QStringLiteral("^(ok|FAILED|UNREACHABLE|TIMEOUT|VERIFY-FAILED|INTERRUPTED) "));
    QVector<qint64> nextAnnouncement(kStationBoards, 0);
    int done = 0;
    int failed = 0;
    qint64 lastDoneMs = 0;
    QElapsedTimer clock;
    clock.start();
    while (done < kStationBoards && clock.elapsed() < kRunLimitMs) {
        for (int i = 0; i < kStationBoards; ++i) {
            const qint64 arrival = qint64(i) * kArrivalSpanMs / (kStationBoards - 1);
            if (clock.elapsed() < arrival || clock.elapsed() < nextAnnouncement[i])
                continue;
            const ModuleProcess::Module &module = modules.modules.at(i);
            const QByteArray text
                = QJsonDocument(
                      QJsonObject {
                          { QStringLiteral("host ip"), module.address.toString() },
                          { QStringLiteral("data port"), QString::number(module.dataPort) },
                          { QStringLiteral("atcomd port"), QString::number(module.atPort) },
                          { QStringLiteral("hostname"), prefix + QStringLiteral("-%1").arg(i) } })
                      .toJson(QJsonDocument::Compact);
            senders.at(i)->writeDatagram(text, QHostAddress::LocalHost, kAnnouncementPort);
            nextAnnouncement[i] = clock.elapsed() + kAnnounceIntervalMs;
        }
        station.waitForReadyRead(kStationSliceMs);
        while (station.canReadLine()) {
            const QString line = QString::fromUtf8(station.readLine());
            if (!finished.match(line).hasMatch())
                continue;
            ++done;
            failed += line.startsWith(QLatin1String("ok ")) ? 0 : 1;
            lastDoneMs = clock.elapsed();
        }
    }
    station.terminate();
    station.waitForFinished(kRunLimitMs);
    if (done < kStationBoards || failed > 0) {
        std::printf("  the station finished %d of %d boards, %d failed\n", done, kStationBoards,
                    failed);
        return false;
    }
    const double stationSeconds = lastDoneMs / 1e3;
    const double arrivals = kArrivalSpanMs / 1e3;
    std::printf("%s station, %d modules appearing over %.0f s, %d KiB at %d baud:\n", board.name,
                kStationBoards, arrivals, kImageBytes / 1024, kBaud);
    std::printf("  first arrival to last board flashed: %.2f s; all %d at once: %.2f s\n",
                stationSeconds, kStationBoards, atOnce);
    std::printf("  throughput, station / all at once: %.2fx; station time / (arrival span + "
                "all at once): %.2fx\n",
                atOnce / stationSeconds, stationSeconds / (arrivals + atOnce));
    return true;
}
// A number from a /proc/PID/status line ("VmHWM:  1234 kB"), or from
// /proc/PID/limits ("Max open files  1024  4096  files"); -1 when absent.
qint64 procNumber(qint64 pid, const char *file, const QByteArray &label)
{
    QFile proc(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!proc.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : proc.readAll().split('\n')) {
        if (line.startsWith(label))
            return line.mid(label.size()).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

int descriptorsOf(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::System | QDir::NoDotAndDotDot)
        .size();
}

struct FloodRun
{
    double flashedSeconds = -1.0; // from the real module's start; -1: never
    double startedSeconds = -1.0; // when its upload began
    int mostDescriptors = 0;
    qint64 descriptorLimit = -1;
    qint64 peakKb = -1;
    bool crashed = false;
    int sent = 0;
};

// The station flashing one real module while `kind` fakes arrive at
// kFloodPerSecond (none for "none"); the module starts once the flood has
// run kFloodFillMs.
FloodRun floodRun(const QString &hex, const Board &board, const QString &kind)
{
    FloodRun run;
    QTcpServer atPort;
    QTcpServer dataPort;
    atPort.listen(QHostAddress::AnyIPv4);
    dataPort.listen(QHostAddress::AnyIPv4);
    dataPort.pauseAccepting();
    QObject::connect(&atPort, &QTcpServer::newConnection, &atPort, [&atPort] {
        while (QTcpSocket *at = atPort.nextPendingConnection()) {
            QObject::connect(at, &QTcpSocket::readyRead, at, [at] {
                at->readAll();
                at->write("OK\r\n");
            });
            QObject::connect(at, &QTcpSocket::disconnected, at, &QObject::deleteLater);
        }
    });
    const bool silent = kind == QLatin1String("silent");
    const quint16 fakeData = silent ? dataPort.serverPort() : 1;
    const quint16 fakeAt = silent ? atPort.serverPort() : 1;
    // 127.x reaches the servers above; 198.18.0.0/15 (set aside for
    // benchmarks) and 192.0.2.x (TEST-NET-1) nobody. "repeating" is 250
    // addresses, each announced twenty times a second: modules as alive as
    // the real one, which can only take their turns with it.
    const bool nowhere = kind == QLatin1String("nowhere");
    const bool repeating = kind == QLatin1String("repeating");

    const QString prefix = QStringLiteral("flood%1").arg(QCoreApplication::applicationPid());
    QProcess station;
    station.start(QStringLiteral(RUDIREZE_CLI_EXE),
                  { QStringLiteral("station"), hex, QStringLiteral("--board"),
                    QString::fromLatin1(board.name), QStringLiteral("--name"),
                    prefix + QStringLiteral("-*") });
    if (!station.waitForReadyRead(kConnectMs))
        return run;
    QUdpSocket sender;
    sender.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
    ModuleProcess real;
    QString out;
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer sinceReal;
    const int perSlice = kFloodPerSecond * kFloodSliceMs / kMsPerSecond;
    const QString flashed
        = QStringLiteral("ok").leftJustified(13) + prefix + QStringLiteral("-real");
    for (int slice = 0; clock.elapsed() < kFloodLimitMs; ++slice) {
        if (!sinceReal.isValid()
            && clock.elapsed() >= (kind == QLatin1String("none") ? 0 : kFloodFillMs)) {
            if (!real.start({ QStringLiteral("--address"), QStringLiteral("127.0.14.1"),
                              QStringLiteral("--name"), prefix + QStringLiteral("-real"),
                              QStringLiteral("--board"), QString::fromLatin1(board.module),
                              QStringLiteral("--baud"), QString::number(kBaud) }))
                break;
            sinceReal.start();
        }
        for (int i = 0; kind != QLatin1String("none") && i < perSlice; ++i, ++run.sent) {
            const int n = run.sent;
            const QString address = repeating
                ? QStringLiteral("192.0.2.%1").arg(n % 250 + 1)
                : QStringLiteral("%1.%2.%3")
                      .arg(nowhere ? QStringLiteral("198.%1").arg(18 + (n >> 16) % 2)
                                   : QStringLiteral("127.%1").arg(1 + (n >> 16) % 250))
                      .arg((n >> 8) & 0xFF)
                      .arg(n & 0xFF);
            const quint16 dataPortText = nowhere || repeating ? quint16(1000) : fakeData;
            sender.writeDatagram(
                QStringLiteral("{\"host ip\":\"%1\",\"data port\":\"%2\",\"atcomd port\":\"%3\","
                               "\"hostname\":\"%4-fake\"}")
                    .arg(address)
                    .arg(dataPortText)
                    .arg(fakeAt)
                    .arg(prefix)
                    .toUtf8(),
                QHostAddress::LocalHost, kAnnouncementPort);
        }
        QCoreApplication::processEvents();
        while (station.canReadLine())
            out += QString::fromUtf8(station.readLine());
        station.readAllStandardOutput();
        run.mostDescriptors = qMax(run.mostDescriptors, descriptorsOf(station.processId()));
        run.peakKb = qMax(run.peakKb, procNumber(station.processId(), "status", "VmHWM:"));
        if (run.descriptorLimit < 0)
            run.descriptorLimit = procNumber(station.processId(), "limits", "Max open files");
        if (station.state() != QProcess::Running) {
            run.crashed = true;
            break;
        }
        if (run.startedSeconds < 0
            && out.contains(QStringLiteral("started      ") + prefix + QStringLiteral("-real")))
            run.startedSeconds = sinceReal.nsecsElapsed() / 1e9;
        if (out.contains(flashed)) {
            run.flashedSeconds = sinceReal.nsecsElapsed() / 1e9;
            break;
        }
        const qint64 ahead = qint64(slice + 1) * kFloodSliceMs - clock.elapsed();
        station.waitForReadyRead(int(qMax<qint64>(ahead, 0)));
    }
    station.terminate();
    if (!station.waitForFinished(kRunLimitMs))
        station.kill();
    run.crashed = run.crashed || station.exitStatus() != QProcess::NormalExit;
    return run;
}

bool stationFlood(const QString &hex, const Board &board)
{
    const FloodRun calm = floodRun(hex, board, QStringLiteral("none"));
    if (calm.flashedSeconds < 0) {
        std::printf("  the station did not flash the module without a flood\n");
        return false;
    }
    std::printf("%s station, one real module, %d KiB at %d baud: flashed %.2f s after it "
                "started without a flood (peak memory %lld kB, %d descriptors)\n",
                board.name, kImageBytes / 1024, kBaud, calm.flashedSeconds, calm.peakKb,
                calm.mostDescriptors);
    bool ok = true;
    for (const char *kind : { "silent", "refusing", "nowhere", "repeating" }) {
        const FloodRun flood = floodRun(hex, board, QString::fromLatin1(kind));
        std::printf("  %d fakes a second, %-8s (%d sent): ", kFloodPerSecond, kind, flood.sent);
        if (flood.crashed || flood.flashedSeconds < 0) {
            std::printf("%s\n", flood.crashed ? "the station ended" : "the module was not flashed");
            ok = false;
            continue;
        }
        std::printf("its upload began after %.2f s, it was flashed after %.2f s = %.2fx "
                    "without; descriptors at most %d = %.3f of the limit %lld; peak memory "
                    "%.2fx without\n",
                    flood.startedSeconds, flood.flashedSeconds,
                    flood.flashedSeconds / calm.flashedSeconds, flood.mostDescriptors,
                    double(flood.mostDescriptors) / flood.descriptorLimit, flood.descriptorLimit,
                    double(flood.peakKb) / calm.peakKb);
    }
    return ok;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir work;
    const QString hex = work.filePath(QStringLiteral("bench.hex"));
    QRandomGenerator random(7);
    QByteArray image(kImageBytes, '\0');
    for (char &byte : image)
        byte = char(random.bounded(256));
    if (!work.isValid() || !writeHexFile(hex, image)) {
        std::printf("cannot write the HEX file\n");
        return 1;
    }
    const QString avrdude = QStandardPaths::findExecutable(QStringLiteral("avrdude"));

    // --station runs the station's part alone, --flood the flood alone.
    const bool stationOnly = application.arguments().contains(QStringLiteral("--station"));
    const bool floodOnly = application.arguments().contains(QStringLiteral("--flood"));
    bool ok = true;
    for (const Board &board : kBoards) {
        if (!stationOnly && !floodOnly) {
            ok = scaling(hex, board) && ok;
            ok = verifyCost(hex, board, avrdude) && ok;
        }
        if (!floodOnly)
            ok = stationThroughput(hex, board) && ok;
        if (!stationOnly)
            ok = stationFlood(hex, board) && ok;
    }
    return ok ? 0 : 1;
}
