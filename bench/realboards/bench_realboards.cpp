// Uploads through a virtual module to the simulated boards that run the real
// bootloaders (optiboot on the UNO, the stk500v2 bootloader on the MEGA),
// serial line at 115200 baud, the simulation in real time. Three parts:
//
//   compare   our worker (`Thread`) against avrdude, with -V and with its
//             verify pass, on the same board in the same run, and against
//             the line's limit for the bytes our upload exchanged
//   bridges   the same upload of ours through the packed, bytes and random
//             bridges with the chip's lossy UART: time against packed, and
//             the bytes the board lost
//   latency   ours and avrdude without verify, alternating, through one
//             module (lossy UART, bytes bridge) at 0, 5 and 20 ms of network
//             delay each way: ours/avrdude, and ours against the serial
//             line's own limit for one round trip per page
//
//   bench_realboards [--part compare|bridges|latency]  one part (default all)
//                    [--repeat N]     median of N runs each (default 3; 1 for
//                                     bridges and latency unless given)
//                    [--only-ours]    our worker alone, without avrdude
//                    [--speed F] [--baud N]   other simulation speeds and
//                                     lines, for looking into a problem
//                    [--verbose]      keep the worker's debug lines, log the line
#include "boardfiles.h"
#include "common/names.h"
#include "modulegroup.h"
#include "modulethread.h"
#include "simulatedboard.h"
#include "simulatedbridge.h"
#include "testkit.h"
#include "upload/boards.h"
#include "upload/thread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {
constexpr int kDefaultRepetitions = 3;
constexpr int kMaxRepetitions = 50;
constexpr int kBaud = 115200;
constexpr double kBitsPerByte = 10.0;
constexpr int kConnectTimeoutMs = 3000;
constexpr int kAtReplyTimeoutMs = 2000;
constexpr int kUploadTimeoutMs = 180000;
constexpr double kMsPerSecond = 1000.0;
constexpr float kComplete = 1.0f;
constexpr double kRealTime = 1.0;

struct Case
{
    const char *sketch;
    const char *deviceText; // the window's Device column
    const char *family; // AT+MCUUPDATE=
    const char *part; // avrdude -p
    const char *programmer; // avrdude -c
    const char *address;
};

const Case kCases[] = {
    { "full-uno", "UNO", "UNO", "m328p", "arduino", "127.0.0.2" },
    { "over64k-mega", "MEGA2560", "MEGA", "m2560", "wiring", "127.0.0.3" },
};

// The worker's debug lines (one per reply) would drown the figures.
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

struct Run
{
    bool ok = false;
    double seconds = 0;
    qint64 lineBytes = 0;
    QString failure;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool atHandshake(const QHostAddress &address, quint16 port, const QByteArray &family)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    return TestKit::atUpdateHandshake(socket, family, kAtReplyTimeoutMs);
}

class Bench
{
public:
    Bench(ModuleThread &modules, int index, const Case &c, const QByteArray &image,
          const QString &hexPath)
        : modules(modules)
        , index(index)
        , c(c)
        , image(image)
        , hexPath(hexPath)
    {
    }

    Run ours()
    {
        Run run;
        const ModuleCounters before = modules.counters(index);
        UploadRequest request;
        request.at_port = QString::number(modules.atPort(index));
        request.data_port = QString::number(modules.dataPort(index));
        request.host_ip = modules.address(index).toString();
        request.board = boardNamed(QString::fromLatin1(c.deviceText));
        request.image = image;
        Thread worker(request);
        std::atomic<int> finalStatus { -1 };
        std::atomic<float> finalProgress { 0 };
        QObject::connect(
            &worker, &Thread::updateover, &worker,
            [&](int, int status, float progress) {
                if (status != Thread::UPDATE_PROGRESS) {
                    finalStatus = status;
                    finalProgress = progress;
                }
            },
            Qt::DirectConnection);
        QElapsedTimer clock;
        clock.start();
        worker.start();
        if (!worker.wait(kUploadTimeoutMs)) {
            worker.requestInterruption();
            worker.wait();
            run.failure = QStringLiteral("the worker did not finish");
            return run;
        }
        run.seconds = double(clock.nsecsElapsed()) / 1e9;
        const ModuleCounters after = modules.counters(index);
        run.lineBytes
            = (after.dataBytesIn - before.dataBytesIn) + (after.dataBytesOut - before.dataBytesOut);
        if (finalStatus != Thread::UPDATE_FINISHED || finalProgress != kComplete) {
            run.failure = QStringLiteral("the worker reported status %1, progress %2")
                              .arg(finalStatus.load())
                              .arg(double(finalProgress.load()));
            return run;
        }
        return checked(run);
    }

    Run avrdude(bool verify)
    {
        Run run;
        const ModuleCounters before = modules.counters(index);
        QElapsedTimer clock;
        clock.start();
        if (!atHandshake(modules.address(index), modules.atPort(index), c.family)) {
            run.failure = QStringLiteral("no answer to the AT handshake");
            return run;
        }
        QStringList arguments { QStringLiteral("-p"),
                                QLatin1String(c.part),
                                QStringLiteral("-c"),
                                QLatin1String(c.programmer),
                                QStringLiteral("-P"),
                                QStringLiteral("net:%1:%2")
                                    .arg(modules.address(index).toString())
                                    .arg(modules.dataPort(index)),
                                QStringLiteral("-U"),
                                QStringLiteral("flash:w:%1:i").arg(hexPath) };
        // No chip erase (-D), as boards with a bootloader are programmed: the
        // MEGA's bootloader refuses it and erases each page as it writes it.
        arguments << QStringLiteral("-D");
        if (!verify)
            arguments << QStringLiteral("-V");
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStandardPaths::findExecutable(QStringLiteral("avrdude")), arguments);
        if (!process.waitForFinished(kUploadTimeoutMs) || process.exitCode() != 0) {
            run.failure = QStringLiteral("avrdude failed: ")
                + QString::fromLocal8Bit(process.readAll()).right(400);
            return run;
        }
        run.seconds = double(clock.nsecsElapsed()) / 1e9;
        const ModuleCounters after = modules.counters(index);
        run.lineBytes
            = (after.dataBytesIn - before.dataBytesIn) + (after.dataBytesOut - before.dataBytesOut);
        return checked(run);
    }

private:
    Run checked(Run run)
    {
        if (modules.flash(index).left(image.size()) != image) {
            run.failure = QStringLiteral("the flash does not hold the image");
            return run;
        }
        run.ok = true;
        return run;
    }

    ModuleThread &modules;
    int index;
    const Case &c;
    QByteArray image;
    QString hexPath;
};

double lineSeconds(qint64 bytes, int baud)
{
    return baud > 0 ? double(bytes) * kBitsPerByte / baud : 0.0;
}

QString optionValue(const QStringList &arguments, const QString &name)
{
    const int at = int(arguments.indexOf(name));
    return at > 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
}

// The serial line's own limit for an upload with one round trip per page:
// every byte of that exchange on the wire at 10 bits a byte, a command's
// bytes and then its reply's (a reply waits for its command), the page
// operations the bootloader waits for, its start-up, and one network round
// trip per exchange.
struct ExchangeCost
{
    int setupExchanges; // sync or sign-on, program mode, signature, leave
    int setupDown;
    int setupUp;
    int pageDown; // version 1: load address and program page in one write
    int pageUp; // the reply the next page waits for
    int pageOperations;
    int segmentBytes; // version 2: a load address again where the extended address changes
    int loadAddressDown;
    int loadAddressUp;
};

// Version 1 (optiboot): '0' ' ' -> 14 10; 'P' ' ' -> 14 10; 'u' ' ' -> 14
// sig sig sig 10; 'Q' ' ' -> 14 10. A page: 'U' lo hi ' ' and 'd' 00 80 'F'
// 128 bytes ' ', the last reply 14 10. optiboot erases while the page's
// bytes come in; the write is waited for.
constexpr ExchangeCost kVersion1 { 4, 8, 11, 4 + 133, 2, 1, 0, 0, 0 };
// Version 2: a frame is 1B seq size(2) 0E body checksum, 6 bytes around the
// body. Sign-on 1 -> 11, program mode 12 -> 2, three signature reads 4 -> 4,
// leave 3 -> 2. A page: program flash, 10 header bytes and 256 data -> 2;
// the bootloader erases and then writes. A load address (5 -> 2) starts
// each 128 KiB.
constexpr int kFrameBytes = 6;
constexpr ExchangeCost kVersion2 { 6,
                                   6 * kFrameBytes + 1 + 12 + 3 * 4 + 3,
                                   6 * kFrameBytes + 11 + 2 + 3 * 4 + 2,
                                   kFrameBytes + 10 + 256,
                                   kFrameBytes + 2,
                                   2,
                                   128 * 1024,
                                   kFrameBytes + 5,
                                   kFrameBytes + 2 };
// tWD_FLASH, as the simulated chip takes it with the lossy UART.
constexpr double kPageOperationSeconds = 0.0045;

double exchangeLimit(BoardKind kind, int imageBytes, int baud, double startSeconds, int latencyMs)
{
    const ExchangeCost &c = kind == BoardKind::Uno ? kVersion1 : kVersion2;
    const int pageBytes = boardTraits(kind).pageBytes;
    const int pages = (imageBytes + pageBytes - 1) / pageBytes;
    const int segments
        = c.segmentBytes > 0 ? (imageBytes + c.segmentBytes - 1) / c.segmentBytes : 0;
    const qint64 bytes = c.setupDown + c.setupUp + qint64(pages) * (c.pageDown + c.pageUp)
        + qint64(segments) * (c.loadAddressDown + c.loadAddressUp);
    const int exchanges = c.setupExchanges + pages + segments;
    return startSeconds + lineSeconds(bytes, baud)
        + pages * c.pageOperations * kPageOperationSeconds
        + exchanges * 2.0 * latencyMs / kMsPerSecond;
}

// How long the bootloader takes from AT+MCUUPDATE to its first answer: a
// sync (version 1) or a sign-on (version 2) is sent every few milliseconds
// until one is answered. While optiboot shows its LED the first three bytes
// wait in the buffer and the rest are lost, so the answer comes as soon as
// it reads. A sync that reached the board while its receiver came on would
// start the buffer in its middle and put optiboot out of step: the first is
// sent once the board has surely started, and a failed attempt is made
// again from another reset.
double bootloaderStartSeconds(ModuleThread &modules, BoardKind kind, const QByteArray &family)
{
    constexpr int kProbeEveryMs = 20;
    constexpr int kFirstProbeAfterMs = 10;
    constexpr int kAnswerTimeoutMs = 2000;
    constexpr int kAttempts = 3;
    const QByteArray sync = QByteArray::fromHex("3020");
    const QByteArray signOn = QByteArray::fromHex("1b010001"
                                                  "0e0114");
    const char firstReplyByte = kind == BoardKind::Uno ? '\x14' : '\x1b';
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        QTcpSocket data;
        data.connectToHost(modules.address(0), modules.dataPort(0));
        if (!data.waitForConnected(kConnectTimeoutMs)
            || !atHandshake(modules.address(0), modules.atPort(0), family))
            return -1;
        QElapsedTimer clock;
        clock.start();
        QByteArray received;
        data.waitForReadyRead(kFirstProbeAfterMs);
        while (!received.contains(firstReplyByte) && clock.elapsed() < kAnswerTimeoutMs) {
            data.write(kind == BoardKind::Uno ? sync : signOn);
            data.flush();
            data.waitForReadyRead(kProbeEveryMs);
            received += data.readAll();
        }
        if (received.contains(firstReplyByte))
            return double(clock.nsecsElapsed()) / 1e9;
    }
    return -1;
}

bool prepareImage(const BoardFiles::Sketch &sketch, QByteArray *image)
{
    QFile binary(sketch.binaryPath);
    if (!binary.open(QIODevice::ReadOnly))
        return false;
    *image = binary.readAll();
    QFile update(kImagePath);
    return update.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && update.write(*image) == image->size();
}

bool startModule(ModuleThread &modules, const Case &c, BoardKind kind, const LinkOptions &link,
                 double speed)
{
    ModuleOptions options;
    options.address = QHostAddress(QLatin1String(c.address));
    options.board = kind == BoardKind::Uno ? BoardType::Uno : BoardType::Mega;
    options.simulatedBoard = true;
    options.announceIntervalMs = 0;
    options.link = link;
    options.simulationSpeed = speed;
    QString error;
    if (!modules.start(1, options, &error)) {
        std::printf("%s: %s\n", c.sketch, qPrintable(error));
        return false;
    }
    return true;
}

const char *const kPartSketches[] = { "full-uno", "over128k-mega" };

const Case &caseFor(BoardKind kind)
{
    return kind == BoardKind::Uno ? kCases[0] : kCases[1];
}

// One part sketch, its image, and a module started for it behind a lossy UART.
struct Part
{
    const char *name;
    BoardFiles::Sketch sketch;
    QByteArray image;
    const Case &c;
    LinkOptions link;
    ModuleThread modules;
};

// Runs body for each part sketch in turn; true when every one succeeded.
template<typename Body> bool forEachPart(int baud, BridgeMode bridge, Body body)
{
    bool allOk = true;
    for (const char *name : kPartSketches) {
        const BoardFiles::Sketch sketch = BoardFiles::sketch(QLatin1String(name));
        QByteArray image;
        if (!prepareImage(sketch, &image)) {
            std::printf("%s: cannot prepare the image\n", name);
            allOk = false;
            continue;
        }
        LinkOptions link;
        link.baud = baud;
        link.lossyUart = true;
        link.bridge = bridge;
        Part part { name, sketch, image, caseFor(sketch.kind), link, {} };
        if (!startModule(part.modules, part.c, sketch.kind, link, kRealTime))
            return false;
        allOk = body(part) && allOk;
    }
    return allOk;
}

// The same upload of ours through each bridge mode, the lossy UART on.
bool runBridges(int repetitions, int baud)
{
    std::printf("\nbridges: our upload through the packed, bytes and random bridges, lossy "
                "UART, median of %d run(s); time / packed (goal <= 1.02), bytes lost (goal 0)\n",
                repetitions);
    return forEachPart(baud, BridgeMode::Packed, [&](Part &part) {
        bool allOk = true;
        Bench bench(part.modules, 0, part.c, part.image, part.sketch.hexPath);
        double packedSeconds = 0;
        for (BridgeMode mode : { BridgeMode::Packed, BridgeMode::Bytes, BridgeMode::Random }) {
            part.link.bridge = mode;
            part.modules.setLink(0, part.link);
            std::vector<double> times;
            const int lostBefore = part.modules.counters(0).bytesLost;
            QString failure;
            for (int i = 0; i < repetitions && failure.isEmpty(); ++i) {
                const Run run = bench.ours();
                if (run.ok)
                    times.push_back(run.seconds);
                else
                    failure = run.failure;
            }
            const int lost = part.modules.counters(0).bytesLost - lostBefore;
            std::printf("  %-14s %-7s", part.name, qPrintable(bridgeModeName(mode)));
            if (!failure.isEmpty()) {
                std::printf(" FAILED (%s), bytes lost %d\n", qPrintable(failure), lost);
                allOk = false;
                continue;
            }
            const double seconds = median(times);
            if (mode == BridgeMode::Packed)
                packedSeconds = seconds;
            std::printf(" %8.0f ms", seconds * kMsPerSecond);
            if (packedSeconds > 0)
                std::printf("   / packed %.3f", seconds / packedSeconds);
            std::printf("   bytes lost %d\n", lost);
            std::fflush(stdout);
        }
        return allOk;
    });
}

// Ours and avrdude -V in turn through one module at each network delay.
bool runLatency(int repetitions, int baud)
{
    std::printf("\nlatency: ours and avrdude without verify, alternating, one module (lossy UART, "
                "bytes bridge), median of %d run(s)\n"
                "  ours/avrdude (goals: <= 0.80 at 5 ms, <= 0.70 at 20 ms, < 1.0 at 0 ms);\n"
                "  ours/limit: against the line's limit for one round trip per page "
                "(goal <= 1.05 at 0 ms)\n",
                repetitions);
    const bool haveAvrdude = !QStandardPaths::findExecutable(QStringLiteral("avrdude")).isEmpty();
    if (!haveAvrdude)
        std::printf("  avrdude is not installed (Debian package avrdude): no ours/avrdude\n");
    return forEachPart(baud, BridgeMode::Bytes, [&](Part &part) {
        const BoardFiles::Sketch &sketch = part.sketch;
        const QByteArray &image = part.image;
        const Case &c = part.c;
        ModuleThread &modules = part.modules;
        LinkOptions &link = part.link;
        const double start = bootloaderStartSeconds(modules, sketch.kind, c.family);
        if (start < 0) {
            std::printf("  %s: the bootloader did not answer after a reset\n", part.name);
            return false;
        }
        bool allOk = true;
        std::printf("  %s (%s, %d bytes), bootloader start-up %.0f ms:\n", part.name, c.deviceText,
                    int(image.size()), start * kMsPerSecond);
        Bench bench(modules, 0, c, image, sketch.hexPath);
        for (int latencyMs : { 0, 5, 20 }) {
            link.latencyMs = latencyMs;
            modules.setLink(0, link);
            const int lostBefore = modules.counters(0).bytesLost;
            std::vector<double> ours, theirs;
            QString failure;
            for (int i = 0; i < repetitions; ++i) {
                // A failure of one does not keep the other from its figure.
                const Run mine = bench.ours();
                if (mine.ok)
                    ours.push_back(mine.seconds);
                else
                    failure = QStringLiteral("ours: ") + mine.failure;
                if (!haveAvrdude)
                    continue;
                const Run peer = bench.avrdude(false);
                if (peer.ok)
                    theirs.push_back(peer.seconds);
                else
                    failure = QStringLiteral("avrdude: ") + peer.failure;
            }
            const int lost = modules.counters(0).bytesLost - lostBefore;
            const double limit = exchangeLimit(sketch.kind, image.size(), baud, start, latencyMs);
            std::printf("    %2d ms: limit %6.0f ms", latencyMs, limit * kMsPerSecond);
            if (!ours.empty())
                std::printf("  ours %6.0f ms  ours/limit %.2f", median(ours) * kMsPerSecond,
                            median(ours) / limit);
            if (!theirs.empty())
                std::printf("  avrdude %6.0f ms", median(theirs) * kMsPerSecond);
            if (!ours.empty() && !theirs.empty())
                std::printf("  ours/avrdude %.2f", median(ours) / median(theirs));
            std::printf("  bytes lost %d", lost);
            if (!failure.isEmpty()) {
                std::printf("  FAILED (%s)", qPrintable(failure.left(300)));
                allOk = false;
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        return allOk;
    });
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool verbose = arguments.contains(QStringLiteral("--verbose"));
    if (!verbose)
        qInstallMessageHandler(quietDebug);
    int repetitions = kDefaultRepetitions;
    if (!optionValue(arguments, QStringLiteral("--repeat")).isEmpty())
        repetitions = qBound(1, optionValue(arguments, QStringLiteral("--repeat")).toInt(),
                             kMaxRepetitions);
    double speed = kRealTime;
    if (!optionValue(arguments, QStringLiteral("--speed")).isEmpty())
        speed = qMax(0.0, optionValue(arguments, QStringLiteral("--speed")).toDouble());
    int baud = kBaud;
    if (!optionValue(arguments, QStringLiteral("--baud")).isEmpty())
        baud = qMax(0, optionValue(arguments, QStringLiteral("--baud")).toInt());
    const bool onlyOurs = arguments.contains(QStringLiteral("--only-ours"));
    const QString part = optionValue(arguments, QStringLiteral("--part"));
    const QStringList parts { QStringLiteral("compare"), QStringLiteral("bridges"),
                              QStringLiteral("latency") };
    if (!part.isEmpty() && !parts.contains(part)) {
        std::fprintf(stderr, "bench_realboards: --part is one of %s\n",
                     qPrintable(parts.join(QStringLiteral(", "))));
        return 2;
    }
    // The new parts run each upload once unless told otherwise: they stay
    // within a few minutes.
    const int partRepetitions
        = optionValue(arguments, QStringLiteral("--repeat")).isEmpty() ? 1 : repetitions;

    QString missing;
    if (!SimulatedBridge::available(&missing) || !(missing = BoardFiles::missing()).isEmpty()) {
        std::printf("real bootloaders: skipped, missing %s\n", qPrintable(missing));
        return 0;
    }
    const bool haveAvrdude
        = !onlyOurs && !QStandardPaths::findExecutable(QStringLiteral("avrdude")).isEmpty();
    if (!haveAvrdude && !onlyOurs)
        std::printf("avrdude is not installed (Debian package avrdude): only the line limit\n");

    std::printf("real bootloaders behind a virtual module at %d baud, simulated at %g times "
                "real time\n",
                baud, speed);
    bool allOk = true;
    if (part.isEmpty() || part == QLatin1String("bridges"))
        allOk = runBridges(partRepetitions, baud) && allOk;
    if (part.isEmpty() || part == QLatin1String("latency"))
        allOk = runLatency(partRepetitions, baud) && allOk;
    if (!part.isEmpty() && part != QLatin1String("compare")) {
        QFile::remove(kImagePath);
        return allOk ? 0 : 1;
    }
    std::printf("\ncompare: median of %d run(s)\n", repetitions);
    for (const Case &c : kCases) {
        const BoardFiles::Sketch sketch = BoardFiles::sketch(QLatin1String(c.sketch));
        QFile binary(sketch.binaryPath);
        if (!binary.open(QIODevice::ReadOnly)) {
            std::printf("%s: cannot read %s\n", c.sketch, qPrintable(sketch.binaryPath));
            allOk = false;
            continue;
        }
        const QByteArray image = binary.readAll();
        QFile update(kImagePath);
        if (!update.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || update.write(image) != image.size()) {
            std::printf("cannot write %s\n", kImagePath);
            return 1;
        }
        update.close();

        ModuleOptions options;
        options.address = QHostAddress(QLatin1String(c.address));
        options.board = sketch.kind == BoardKind::Uno ? BoardType::Uno : BoardType::Mega;
        options.simulatedBoard = true;
        options.announceIntervalMs = 0;
        options.link.baud = baud;
        options.simulationSpeed = speed;
        ModuleThread modules;
        QString error;
        if (!modules.start(1, options, &error)) {
            std::printf("%s: %s\n", c.sketch, qPrintable(error));
            return 1;
        }
        if (verbose)
            modules.run([](ModuleGroup &group) {
                VirtualModule *module = group.module(0);
                module->setLogging(true);
                QObject::connect(module, &VirtualModule::logLine, module, [](const QString &line) {
                    std::fprintf(stderr, "%s\n", qPrintable(line));
                });
            });
        Bench bench(modules, 0, c, image, sketch.hexPath);

        std::vector<double> ours, quick, verified, limits;
        qint64 oursBytes = 0, quickBytes = 0, verifiedBytes = 0;
        for (int i = 0; i < repetitions; ++i) {
            const Run run = bench.ours();
            if (!run.ok) {
                std::printf("%s: our upload failed: %s\n", c.sketch, qPrintable(run.failure));
                allOk = false;
                break;
            }
            ours.push_back(run.seconds);
            limits.push_back(lineSeconds(run.lineBytes, baud));
            oursBytes = run.lineBytes;
            if (!haveAvrdude)
                continue;
            const Run fast = bench.avrdude(false);
            const Run slow = bench.avrdude(true);
            if (!fast.ok || !slow.ok) {
                std::printf("%s: avrdude: %s\n", c.sketch,
                            qPrintable(fast.ok ? slow.failure : fast.failure));
                allOk = false;
                break;
            }
            quick.push_back(fast.seconds);
            verified.push_back(slow.seconds);
            quickBytes = fast.lineBytes;
            verifiedBytes = slow.lineBytes;
        }
        if (ours.empty())
            continue;
        const double oursSeconds = median(ours);
        const double limit = median(limits);
        std::printf("%s (%s, %d bytes):\n", c.sketch, c.deviceText, int(image.size()));
        std::printf("  ours            %8.0f ms  %7lld bytes on the line",
                    oursSeconds * kMsPerSecond, static_cast<long long>(oursBytes));
        if (limit > 0)
            std::printf("   %.2fx the line limit (%.0f ms)", oursSeconds / limit,
                        limit * kMsPerSecond);
        std::printf("\n");
        if (!quick.empty()) {
            const double quickSeconds = median(quick);
            const double verifiedSeconds = median(verified);
            std::printf("  avrdude -V      %8.0f ms  %7lld bytes on the line   ours/avrdude %.2f\n",
                        quickSeconds * kMsPerSecond, static_cast<long long>(quickBytes),
                        oursSeconds / quickSeconds);
            std::printf("  avrdude verify  %8.0f ms  %7lld bytes on the line   ours/avrdude %.2f\n",
                        verifiedSeconds * kMsPerSecond, static_cast<long long>(verifiedBytes),
                        oursSeconds / verifiedSeconds);
        }
        std::fflush(stdout);
    }
    QFile::remove(kImagePath);
    return allOk ? 0 : 1;
}
