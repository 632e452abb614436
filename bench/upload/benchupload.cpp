// Upload speed of the worker against virtual modules on a 115200-baud serial
// line, as ratios to what the line allows and to avrdude on the same module.
//
// The line limit of one upload is every byte of the data exchange, both ways,
// at 11,520 bytes/s, plus the time the board takes to write each page, plus
// the network latency of every request and of every reply. The module's
// bridge also holds every reply until the line has been idle for a few byte
// times (it cannot know otherwise that the reply is over); that gap is shown
// as a second limit, since no client of the module can avoid it.

#include "common/names.h"
#include "upload/boards.h"
#include "upload/thread.h"

#include "boardfacts.h"
#include "modulethread.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {
constexpr int kBaud = 115200;
constexpr double kBitsPerByte = 10.0; // start bit, eight data bits, stop bit
constexpr double kLineBytesPerSecond = kBaud / kBitsPerByte;
constexpr int kKiB = 1024;
constexpr double kNsPerSecond = 1e9;
constexpr double kMsPerSecond = 1e3;

// Longest time one measured upload (ours or avrdude's) may take.
constexpr int kRunLimitMs = 300000;
constexpr int kConnectMs = 3000;
constexpr int kAtReplyMs = 1000;
constexpr int kParallelUploads = 16;
// The modules of the benchmark announce nothing, and live here and after.
const char kFirstModuleAddress[] = "127.0.0.2";
const char kParallelFirstAddress[] = "127.0.0.40";

constexpr double kLinkGoal = 1.05;
constexpr double kParallelGoal = 1.2;
constexpr int kDefaultRepeats = 3;
// Above this size one repetition is enough: the run is long and steady.
constexpr int kRepeatBelowBytes = 64 * kKiB;

struct Case
{
    const char *name;
    BoardType board;
    const char *boardType; // the Device text of the row
    int bytes;
};

const Case kCases[] = {
    { "UNO 1 KiB", BoardType::Uno, "UNO", 1 * kKiB },
    { "UNO 30 KiB", BoardType::Uno, "UNO", 30 * kKiB },
    { "MEGA2560 30 KiB", BoardType::Mega, "MEGA2560", 30 * kKiB },
    { "MEGA2560 200 KiB", BoardType::Mega, "MEGA2560", 200 * kKiB },
};
// The case that 16 uploads at once are measured with.
constexpr int kParallelCase = 1;

struct Settings
{
    int latencyMs = 0;
    int repeats = kDefaultRepeats;
    bool avrdude = true;
    int onlyCase = -1; // -1: every case
    bool parallel = true;
};

// A firmware-like image: no page is all 0xFF, so every page is really
// written. Marsaglia's xorshift32.
QByteArray imageOf(int size)
{
    constexpr quint32 kSeed = 0x2545F491u;
    constexpr int kShiftA = 13;
    constexpr int kShiftB = 17;
    constexpr int kShiftC = 5;
    constexpr quint32 kLowByte = 0xFFu;
    QByteArray bytes(size, '\0');
    quint32 state = kSeed;
    for (int i = 0; i < size; ++i) {
        state ^= state << kShiftA;
        state ^= state >> kShiftB;
        state ^= state << kShiftC;
        bytes[i] = static_cast<char>(state & kLowByte);
    }
    return bytes;
}

bool writeImage(const QByteArray &image)
{
    QFile file(QString::fromLatin1(kImagePath));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(image) == image.size();
}

double pageWriteSeconds(BoardType board)
{
    const BoardTraits &part = boardTraits(board);
    return static_cast<double>(part.pageWriteNs) / kNsPerSecond;
}

// What crossed the module between two looks at its counters.
struct Traffic
{
    qint64 bytes = 0; // data port, both ways
    int pages = 0;
    int commands = 0;
};

Traffic trafficBetween(const ModuleCounters &before, const ModuleCounters &after)
{
    Traffic traffic;
    traffic.bytes
        = (after.dataBytesIn - before.dataBytesIn) + (after.dataBytesOut - before.dataBytesOut);
    traffic.pages = after.pagesWritten - before.pagesWritten;
    traffic.commands = after.bootloaderCommands - before.bootloaderCommands;
    return traffic;
}

double lineLimitSeconds(const Traffic &traffic, BoardType board, int latencyMs)
{
    // Every command is one request and one reply, each crossing the network once.
    return static_cast<double>(traffic.bytes) / kLineBytesPerSecond
        + traffic.pages * pageWriteSeconds(board)
        + 2.0 * traffic.commands * latencyMs / kMsPerSecond;
}

// The bridge's idle gap after every reply.
double bridgeGapSeconds(const Traffic &traffic)
{
    return traffic.commands * SerialLink::kIdleByteTimes * kBitsPerByte / kBaud;
}

ModuleOptions moduleOptions(const char *address, BoardType board, int latencyMs)
{
    ModuleOptions options;
    options.address = QHostAddress(QString::fromLatin1(address));
    options.board = board;
    options.announceIntervalMs = 0;
    options.link.baud = kBaud;
    options.link.latencyMs = latencyMs;
    return options;
}

struct Target
{
    ModuleThread *modules;
    int index;
};

struct WorkerResult
{
    qint64 finishedNs = 0;
    bool successful = false;
};

// Runs one worker per target at once, as the Upload buttons would start them;
// returns the seconds until the last one reported its end.
double runWorkers(const std::vector<Target> &targets, const char *boardType,
                  const QByteArray &image, bool *allSuccessful)
{
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Thread>> workers;
    std::vector<WorkerResult> results(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        UploadRequest request;
        request.at_port = QString::number(targets[i].modules->atPort(targets[i].index));
        request.data_port = QString::number(targets[i].modules->dataPort(targets[i].index));
        request.host_ip = targets[i].modules->address(targets[i].index).toString();
        request.row = static_cast<int>(i);
        request.board = boardNamed(QString::fromLatin1(boardType));
        request.image = image;
        workers.push_back(std::make_unique<Thread>(request));
        WorkerResult *result = &results[i];
        QObject::connect(
            workers.back().get(), &Thread::updateover, workers.back().get(),
            [result, &clock](int, int status, float progress) {
                if (status == Thread::UPDATE_FINISHED) {
                    result->finishedNs = clock.nsecsElapsed();
                    result->successful = progress == 1.0f;
                }
            },
            Qt::DirectConnection);
    }
    clock.start();
    for (auto &worker : workers)
        worker->start(QThread::InheritPriority);
    *allSuccessful = true;
    qint64 last = 0;
    for (size_t i = 0; i < workers.size(); ++i) {
        if (!workers[i]->wait(kRunLimitMs)) {
            workers[i]->requestInterruption();
            workers[i]->wait();
            *allSuccessful = false;
        }
        *allSuccessful = *allSuccessful && results[i].successful;
        last = std::max(last, results[i].finishedNs);
    }
    return static_cast<double>(last) / kNsPerSecond;
}

bool flashHolds(ModuleThread &modules, int index, const QByteArray &image)
{
    return modules.flash(index).left(image.size()) == image;
}

// The module handshake, as the worker sends it, for a peer that only speaks STK500.
bool moduleHandshake(ModuleThread &modules, int index, BoardType board)
{
    QTcpSocket socket;
    socket.connectToHost(modules.address(index), modules.atPort(index));
    if (!socket.waitForConnected(kConnectMs))
        return false;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QByteArray commands[] = {
        QByteArrayLiteral("AT+U2W=CLIENT\r\n"),
        board == BoardType::Uno ? QByteArrayLiteral("AT+MCUUPDATE=UNO")
                                : QByteArrayLiteral("AT+MCUUPDATE=MEGA"),
    };
    for (const QByteArray &command : commands) {
        socket.write(command);
        socket.flush();
        if (!socket.waitForReadyRead(kAtReplyMs))
            return false;
        socket.readAll();
    }
    socket.disconnectFromHost();
    return true;
}

QString avrdudePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("avrdude"));
}

// avrdude on the same module, the handshake included in its time as in ours.
double runAvrdude(ModuleThread &modules, int index, const Case &c, bool verify, bool *ok)
{
    QStringList arguments { QStringLiteral("-q"), QStringLiteral("-q") };
    if (c.board == BoardType::Uno)
        arguments << QStringLiteral("-p") << QStringLiteral("m328p") << QStringLiteral("-c")
                  << QStringLiteral("arduino");
    else
        // The Mega's bootloader refuses chip erase.
        arguments << QStringLiteral("-p") << QStringLiteral("m2560") << QStringLiteral("-c")
                  << QStringLiteral("wiring") << QStringLiteral("-D");
    arguments << QStringLiteral("-b") << QString::number(kBaud) << QStringLiteral("-P")
              << QStringLiteral("net:%1:%2")
                     .arg(modules.address(index).toString())
                     .arg(modules.dataPort(index));
    if (!verify)
        arguments << QStringLiteral("-V");
    arguments << QStringLiteral("-U") << QStringLiteral("flash:w:%1:r").arg(kImagePath);

    QElapsedTimer clock;
    clock.start();
    *ok = false;
    if (!moduleHandshake(modules, index, c.board)) {
        std::fprintf(stderr, "  avrdude: the module handshake failed\n");
        return 0.0;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(avrdudePath(), arguments);
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        std::fprintf(stderr, "  avrdude did not finish in time\n");
        return 0.0;
    }
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / kNsPerSecond;
    *ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!*ok)
        std::fprintf(stderr, "  avrdude %s failed:\n%s\n",
                     qPrintable(arguments.join(QLatin1Char(' '))), process.readAll().constData());
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

struct CaseFigures
{
    double ours = 0.0;
    double limit = 0.0;
    double bridgeGap = 0.0;
    double avrdudeNoVerify = 0.0;
    double avrdudeVerify = 0.0;
};

bool measureCase(const Case &c, int caseIndex, const Settings &settings, CaseFigures *figures)
{
    const QByteArray image = imageOf(c.bytes);
    if (!writeImage(image)) {
        std::fprintf(stderr, "cannot write %s\n", kImagePath);
        return false;
    }
    ModuleThread modules;
    QString error;
    QHostAddress address(QString::fromLatin1(kFirstModuleAddress));
    address = QHostAddress(address.toIPv4Address() + static_cast<quint32>(caseIndex));
    const QByteArray addressText = address.toString().toLatin1();
    if (!modules.start(1, moduleOptions(addressText.constData(), c.board, settings.latencyMs),
                       &error)) {
        std::fprintf(stderr, "cannot start a module: %s\n", qPrintable(error));
        return false;
    }

    const int repeats = c.bytes < kRepeatBelowBytes ? settings.repeats : 1;
    std::vector<double> ours, limits, gaps, plain, verified;
    bool good = true;
    for (int r = 0; r < repeats; ++r) {
        modules.setFlash(0, QByteArray());
        const ModuleCounters before = modules.counters(0);
        bool successful = false;
        const double seconds = runWorkers({ { &modules, 0 } }, c.boardType, image, &successful);
        const Traffic traffic = trafficBetween(before, modules.counters(0));
        if (!successful || !flashHolds(modules, 0, image)) {
            std::fprintf(stderr, "  %s: our upload failed\n", c.name);
            good = false;
        }
        ours.push_back(seconds);
        limits.push_back(lineLimitSeconds(traffic, c.board, settings.latencyMs));
        gaps.push_back(bridgeGapSeconds(traffic));

        if (!settings.avrdude)
            continue;
        for (bool verify : { false, true }) {
            modules.setFlash(0, QByteArray());
            bool ok = false;
            const double peer = runAvrdude(modules, 0, c, verify, &ok);
            if (!ok || !flashHolds(modules, 0, image)) {
                std::fprintf(stderr, "  %s: avrdude%s did not write the image\n", c.name,
                             verify ? "" : " -V");
                good = false;
            }
            (verify ? verified : plain).push_back(peer);
        }
    }
    figures->ours = median(ours);
    figures->limit = median(limits);
    figures->bridgeGap = median(gaps);
    figures->avrdudeNoVerify = median(plain);
    figures->avrdudeVerify = median(verified);
    return good;
}

bool measureParallel(const Settings &settings, double *one, double *sixteen)
{
    const Case &c = kCases[kParallelCase];
    const QByteArray image = imageOf(c.bytes);
    if (!writeImage(image))
        return false;
    // Each module on a thread of its own, as each is a device of its own.
    std::vector<std::unique_ptr<ModuleThread>> modules;
    const QHostAddress first(QString::fromLatin1(kParallelFirstAddress));
    for (int i = 0; i < kParallelUploads; ++i) {
        modules.push_back(std::make_unique<ModuleThread>());
        const QByteArray address
            = QHostAddress(first.toIPv4Address() + static_cast<quint32>(i)).toString().toLatin1();
        QString error;
        if (!modules.back()->start(
                1, moduleOptions(address.constData(), c.board, settings.latencyMs), &error)) {
            std::fprintf(stderr, "cannot start a module: %s\n", qPrintable(error));
            return false;
        }
    }
    bool good = true;
    bool successful = false;
    *one = runWorkers({ { modules.front().get(), 0 } }, c.boardType, image, &successful);
    good = successful && flashHolds(*modules.front(), 0, image);

    std::vector<Target> targets;
    for (auto &module : modules) {
        module->setFlash(0, QByteArray());
        targets.push_back({ module.get(), 0 });
    }
    *sixteen = runWorkers(targets, c.boardType, image, &successful);
    good = good && successful;
    for (auto &module : modules)
        good = good && flashHolds(*module, 0, image);
    if (!good)
        std::fprintf(stderr, "  16 at once: an upload failed\n");
    return good;
}

Settings parseArguments(const QStringList &arguments)
{
    Settings settings;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--latency-ms") && i + 1 < arguments.size())
            settings.latencyMs = arguments.at(++i).toInt();
        else if (argument == QLatin1String("--repeats") && i + 1 < arguments.size())
            settings.repeats = qMax(1, arguments.at(++i).toInt());
        else if (argument == QLatin1String("--no-avrdude"))
            settings.avrdude = false;
        else if (argument == QLatin1String("--case") && i + 1 < arguments.size())
            settings.onlyCase = arguments.at(++i).toInt();
        else if (argument == QLatin1String("--no-parallel"))
            settings.parallel = false;
    }
    return settings;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The worker's per-reply debug lines would measure the terminal, not the upload.
    QLoggingCategory::setFilterRules(
        QStringLiteral("default.debug=false\nrudireze.upload.debug=false"));
    Settings settings = parseArguments(app.arguments());
    if (settings.avrdude && avrdudePath().isEmpty()) {
        std::printf("avrdude not found: its columns are left out\n");
        settings.avrdude = false;
    }

    std::printf("Uploads over a %d-baud line, network latency %d ms; times in seconds "
                "(median of %d runs below %d KiB)\n"
                "limit: the line limit; +gap: with the bridge's idle gap after each reply\n",
                kBaud, settings.latencyMs, settings.repeats, kRepeatBelowBytes / kKiB);
    std::printf("%-17s %7s %7s %6s %7s %6s | %9s %6s | %9s %6s\n", "image", "ours", "limit",
                "/limit", "+gap", "/+gap", "avrdude-V", "ours/", "avrdude", "ours/");
    std::fflush(stdout);

    bool good = true;
    bool linkGoal = true;
    bool gapGoal = true;
    bool avrdudeGoal = true;
    for (int i = 0; i < static_cast<int>(std::size(kCases)); ++i) {
        if (settings.onlyCase >= 0 && settings.onlyCase != i)
            continue;
        CaseFigures f;
        good = measureCase(kCases[i], i, settings, &f) && good;
        const double toLimit = f.ours / f.limit;
        const double withGap = f.limit + f.bridgeGap;
        linkGoal = linkGoal && toLimit <= kLinkGoal;
        gapGoal = gapGoal && f.ours / withGap <= kLinkGoal;
        std::printf("%-17s %7.3f %7.3f %6.3f %7.3f %6.3f", kCases[i].name, f.ours, f.limit, toLimit,
                    withGap, f.ours / withGap);
        if (settings.avrdude) {
            avrdudeGoal = avrdudeGoal && f.ours < f.avrdudeNoVerify;
            std::printf(" | %9.3f %6.3f | %9.3f %6.3f", f.avrdudeNoVerify,
                        f.ours / f.avrdudeNoVerify, f.avrdudeVerify, f.ours / f.avrdudeVerify);
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    double parallel = 0.0;
    if (settings.parallel) {
        double one = 0.0;
        double sixteen = 0.0;
        good = measureParallel(settings, &one, &sixteen) && good;
        parallel = sixteen / one;
        std::printf("%d uploads of %s at once: %.3f s, one alone %.3f s, ratio %.3f\n",
                    kParallelUploads, kCases[kParallelCase].name, sixteen, one, parallel);
    }

    std::printf("goal: within %.2fx the line limit: %s; with the bridge's gap: %s\n", kLinkGoal,
                verdict(linkGoal), verdict(gapGoal));
    if (settings.avrdude)
        std::printf("goal: faster than avrdude without verify: %s\n", verdict(avrdudeGoal));
    if (settings.parallel)
        std::printf("goal: %d at once within %.2fx one: %s\n", kParallelUploads, kParallelGoal,
                    verdict(parallel <= kParallelGoal));
    if (!good)
        std::printf("some uploads failed (see above)\n");
    return good ? 0 : 1;
}
