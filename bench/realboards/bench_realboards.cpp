// Uploads through a virtual module to the simulated boards that run the real
// bootloaders (optiboot on the UNO, the stk500v2 bootloader on the MEGA),
// serial line at 115200 baud, the simulation in real time. Our worker
// (`Thread`) against avrdude, with -V and with its verify pass, on the same
// board in the same run, and against the line's limit: the time the bytes
// our upload exchanges need at 115200 baud, one direction after the other.
//
//   bench_realboards [--repeat N]     median of N runs each (default 3)
//                    [--only-ours]    our worker alone, without avrdude
//                    [--speed F] [--baud N]   other simulation speeds and
//                                     lines, for looking into a problem
//                    [--verbose]      keep the worker's debug lines, log the line
#include "boardfiles.h"
#include "modulegroup.h"
#include "modulethread.h"
#include "simulatedboard.h"
#include "simulatedbridge.h"
#include "upload/thread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
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
constexpr int kAtReplyBytes = 2;
constexpr int kUploadTimeoutMs = 180000;
constexpr double kMsPerSecond = 1000.0;
constexpr float kComplete = 1.0f;
constexpr double kRealTime = 1.0;
const QString kImagePath = QStringLiteral("update.bin");

struct Case
{
    const char *sketch;
    const char *deviceText; // the window's Device column
    const char *family;     // AT+MCUUPDATE=
    const char *part;       // avrdude -p
    const char *programmer; // avrdude -c
    const char *address;
};

const Case kCases[] = {
    {"full-uno", "UNO", "UNO", "m328p", "arduino", "127.0.0.2"},
    {"over64k-mega", "MEGA2560", "MEGA", "m2560", "wiring", "127.0.0.3"},
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
    for (const QByteArray &command :
         {QByteArrayLiteral("AT+U2W=CLIENT\r\n"), QByteArray("AT+MCUUPDATE=" + family)}) {
        socket.write(command);
        socket.flush();
        QByteArray reply;
        QDeadlineTimer deadline(kAtReplyTimeoutMs);
        while (reply.size() < kAtReplyBytes && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            reply += socket.readAll();
        }
        if (reply.size() < kAtReplyBytes)
            return false;
    }
    return true;
}

class Bench
{
public:
    Bench(ModuleThread &modules, int index, const Case &c, const QByteArray &image,
          const QString &hexPath)
        : modules(modules), index(index), c(c), image(image), hexPath(hexPath)
    {}

    Run ours()
    {
        Run run;
        const ModuleCounters before = modules.counters(index);
        QString at = QString::number(modules.atPort(index));
        QString data = QString::number(modules.dataPort(index));
        QString ip = modules.address(index).toString();
        QString board = QString::fromLatin1(c.deviceText);
        Thread worker(at, data, ip, 0, board);
        std::atomic<int> finalStatus{-1};
        std::atomic<float> finalProgress{0};
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
        run.lineBytes = (after.dataBytesIn - before.dataBytesIn)
            + (after.dataBytesOut - before.dataBytesOut);
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
        QStringList arguments{QStringLiteral("-p"),
                              QLatin1String(c.part),
                              QStringLiteral("-c"),
                              QLatin1String(c.programmer),
                              QStringLiteral("-P"),
                              QStringLiteral("net:%1:%2")
                                  .arg(modules.address(index).toString())
                                  .arg(modules.dataPort(index)),
                              QStringLiteral("-U"),
                              QStringLiteral("flash:w:%1:i").arg(hexPath)};
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
        run.lineBytes = (after.dataBytesIn - before.dataBytesIn)
            + (after.dataBytesOut - before.dataBytesOut);
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

    QString missing;
    if (!SimulatedBridge::available(&missing) || !(missing = BoardFiles::missing()).isEmpty()) {
        std::printf("real bootloaders: skipped, missing %s\n", qPrintable(missing));
        return 0;
    }
    const bool haveAvrdude = !onlyOurs
        && !QStandardPaths::findExecutable(QStringLiteral("avrdude")).isEmpty();
    if (!haveAvrdude && !onlyOurs)
        std::printf("avrdude is not installed (Debian package avrdude): only the line limit\n");

    std::printf("real bootloaders behind a virtual module at %d baud, simulated at %g times "
                "real time, median of %d run(s)\n",
                baud, speed, repetitions);
    bool allOk = true;
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
            std::printf("cannot write %s\n", qPrintable(kImagePath));
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
        std::printf("  ours            %8.0f ms  %7lld bytes on the line", oursSeconds * kMsPerSecond,
                    static_cast<long long>(oursBytes));
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
