// Firmware image preparation figures, each against a peer or a limit:
// HEX conversion throughput against `objcopy -I ihex -O binary` on the same
// file in the same run; the default firmware locator's refresh tick with 500
// build folders lying around against a one-millisecond budget; what one
// locator run (each refresh tick, each Upload press) adds to ./log.txt,
// against the log's 8 MiB limit.
#include "app/widget.h"
#include "firmware/defaultfirmware.h"
#include "firmware/hexconversion.h"
#include "firmware/listingscan.h"
#include "firmware/sketchbuilds.h"
#include "hexwriter.h"
#include "platform/cachedirectory.h"
#include "platform/commandshell.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cstdio>

namespace {
constexpr int kImageBytes = kMaxImageSize;
constexpr int kRecordBytes = 16;
constexpr int kSegmentSpan = 0x10000;
constexpr qint64 kMinMeasureNs = 1000LL * 1000 * 1000;
constexpr int kMaxRepetitions = 100000;
constexpr int kObjcopyRuns = 30;
constexpr int kProcessTimeoutMs = 20000;
constexpr double kBytesPerMB = 1e6;
constexpr double kNsPerSecond = 1e9;
constexpr double kNsPerMs = 1e6;
constexpr int kFoldersPerLayout = 100;
constexpr int kLayouts = 5;
constexpr double kTickBudgetMs = 1.0;
constexpr int kFolderTimeSpreadSeconds = 90 * 24 * 3600;
// The window's refresh timer; in default mode every tick runs the locator.
constexpr double kTicksPerHour = 3600.0 / 2.0;
constexpr double kBytesPerKiB = 1024.0;

QByteArray record(quint16 address, quint8 type, const QByteArray &data)
{
    return HexWriter::record(address, type, data) + '\n';
}

// The shape an AVR toolchain writes: 16-byte records, an extended linear
// address record at every 64 KiB.
QByteArray hexFor(const QByteArray &image)
{
    QByteArray text;
    for (int address = 0; address < image.size(); address += kRecordBytes) {
        if (address % kSegmentSpan == 0 && address > 0) {
            const quint16 upper = quint16(address / kSegmentSpan);
            text += record(0, 0x04, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
        }
        text += record(quint16(address % kSegmentSpan), 0x00, image.mid(address, kRecordBytes));
    }
    return text + ":00000001FF\n";
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

// Mean nanoseconds per call, repeating for at least kMinMeasureNs.
template<typename Work> double meanNs(Work work)
{
    work(); // warm the caches and the page cache
    QElapsedTimer clock;
    clock.start();
    int repetitions = 0;
    while (clock.nsecsElapsed() < kMinMeasureNs && repetitions < kMaxRepetitions) {
        work();
        ++repetitions;
    }
    return double(clock.nsecsElapsed()) / repetitions;
}

double objcopyMeanNs(const QString &objcopy, const QString &input, const QString &output)
{
    QElapsedTimer clock;
    clock.start();
    for (int run = 0; run < kObjcopyRuns; ++run) {
        QProcess process;
        process.start(objcopy, { "-I", "ihex", "-O", "binary", input, output });
        if (!process.waitForFinished(kProcessTimeoutMs) || process.exitCode() != 0)
            return -1;
    }
    return double(clock.nsecsElapsed()) / kObjcopyRuns;
}

double megabytesPerSecond(qint64 bytes, double ns)
{
    return bytes / kBytesPerMB / (ns / kNsPerSecond);
}

int conversionThroughput()
{
    QRandomGenerator random(2560);
    QByteArray image(kImageBytes, '\0');
    for (char &byte : image)
        byte = char(random.bounded(256));
    const QByteArray text = hexFor(image);
    if (!writeFile(QStringLiteral("bench.hex"), text)
        || !writeFile(QStringLiteral("tiny.hex"), record(0, 0, "\x01") + ":00000001FF\n"))
        return 1;

    const HexConversion check = convertHexText(text);
    if (!check.ok() || check.image != image) {
        std::printf("conversion gave a wrong image\n");
        return 1;
    }

    const double inMemoryNs = meanNs([&] { convertHexText(text); });
    const double fileNs = meanNs(
        [] { convertHexFileToImage(QStringLiteral("bench.hex"), QStringLiteral("update.bin")); });

    std::printf("HEX text of a %d KiB image: %.2f MB (%d-byte records)\n", kImageBytes / 1024,
                text.size() / kBytesPerMB, kRecordBytes);
    std::printf("  convertHexText, in memory:          %8.1f MB/s  (%.3f ms)\n",
                megabytesPerSecond(text.size(), inMemoryNs), inMemoryNs / kNsPerMs);
    std::printf("  file to ./update.bin (read, atomic): %8.1f MB/s  (%.3f ms)\n",
                megabytesPerSecond(text.size(), fileNs), fileNs / kNsPerMs);

    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty()) {
        std::printf("  objcopy not installed: no peer figure\n");
        return 1;
    }
    const double objcopyNs = objcopyMeanNs(objcopy, "bench.hex", "objcopy.bin");
    const double startNs = objcopyMeanNs(objcopy, "tiny.hex", "tiny.bin");
    QFile peerOutput(QStringLiteral("objcopy.bin"));
    if (objcopyNs < 0 || startNs < 0 || !peerOutput.open(QIODevice::ReadOnly)
        || peerOutput.readAll() != image) {
        std::printf("  objcopy failed or disagreed\n");
        return 1;
    }
    const double objcopyWorkNs = qMax(objcopyNs - startNs, 1.0);
    std::printf("  objcopy -I ihex -O binary, process:  %8.1f MB/s  (%.3f ms)\n",
                megabytesPerSecond(text.size(), objcopyNs), objcopyNs / kNsPerMs);
    std::printf("  objcopy less its start-up (%.3f ms): %8.1f MB/s\n", startNs / kNsPerMs,
                megabytesPerSecond(text.size(), objcopyWorkNs));
    std::printf("  ratio file-to-file / objcopy process:        %.1fx\n", objcopyNs / fileNs);
    std::printf("  ratio in memory / objcopy less start-up:     %.1fx\n",
                objcopyWorkNs / inMemoryNs);
    return 0;
}

bool setModificationTime(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(time, QFileDevice::FileModificationTime);
}

// One build folder as the IDEs leave it: the sketch image, the bootloader
// image and the ELF file, written at the given time.
bool makeBuild(const QString &folder, const QDateTime &time)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray image = record(0, 0, "\x01") + ":00000001FF\n";
    for (const char *name :
         { "sketch.ino.hex", "sketch.ino.with_bootloader.hex", "sketch.ino.elf" }) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(name);
        if (!writeFile(path, image) || !setModificationTime(path, time))
            return false;
    }
    return true;
}

int locatorTick()
{
    const QString temporary = QDir::current().absoluteFilePath(QStringLiteral("bench-tmp"));
    const QString cache = QDir::current().absoluteFilePath(QStringLiteral("bench-cache"));
    // Folder names per layout, the build*.tmp one first.
    const QStringList folders
        = { temporary + "/build%1.tmp", temporary + "/arduino_build_%1",
            temporary + "/arduino-sketch-%1", temporary + "/arduino/sketches/%1",
            cache + "/arduino/sketches/%1" };
    QRandomGenerator random(500);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QString &pattern : folders) {
        for (int i = 0; i < kFoldersPerLayout; ++i) {
            const QDateTime time = now.addSecs(-qint64(random.bounded(kFolderTimeSpreadSeconds)));
            if (!makeBuild(pattern.arg(100000 + i), time)) {
                std::printf("cannot make the build folders\n");
                return 1;
            }
        }
    }

    Widget window;
    QString shown;
    const double tickNs = meanNs(
        [&] { QMetaObject::invokeMethod(&window, "update_hex_file", Qt::DirectConnection); });
    const double laterNs = meanNs(
        [&] { newestSketchBuild(laterBuildLayouts(QDir::tempPath(), userCacheDirectory())); });
    const double buildTmpNs = meanNs([&] {
        const QString first = runCommandInterpreter(buildDirectoryCommands(QString()));
        if (const std::optional<QString> dir = buildDirectoryInListing(first))
            hexFileInListing(runCommandInterpreter(hexFileCommands(QString(), *dir)));
    });

    std::printf("Locator tick with %d build folders (%d in each of %d layouts):\n",
                kFoldersPerLayout * kLayouts, kFoldersPerLayout, kLayouts);
    std::printf("  whole tick (update_hex_file):          %.3f ms  = %.2f of the %.0f ms budget\n",
                tickNs / kNsPerMs, tickNs / kNsPerMs / kTickBudgetMs, kTickBudgetMs);
    std::printf("  later generations, file system scan:   %.3f ms  = %.2f of the budget\n",
                laterNs / kNsPerMs, laterNs / kNsPerMs / kTickBudgetMs);
    std::printf("  build*.tmp, two interpreter stand-ins: %.3f ms  = %.2f of the budget\n",
                buildTmpNs / kNsPerMs, buildTmpNs / kNsPerMs / kTickBudgetMs);

    // An Upload press in default mode runs the locator once, as a tick does.
    QFile::remove(QString::fromLatin1(kLocatorLogPath));
    QMetaObject::invokeMethod(&window, "update_hex_file", Qt::DirectConnection);
    const qint64 perRun = QFileInfo(QString::fromLatin1(kLocatorLogPath)).size();
    const double perHour = perRun * kTicksPerHour;
    std::printf("./log.txt, one locator run (an Upload press, or a 2 s tick in default mode):\n");
    std::printf("  %lld bytes per run = %.6f of the %.0f MiB limit; %.0f KiB an hour of ticks,\n"
                "  the limit reached after %.1f h, then the oldest half is dropped\n",
                static_cast<long long>(perRun), double(perRun) / kLocatorLogLimitBytes,
                kLocatorLogLimitBytes / kBytesPerKiB / kBytesPerKiB, perHour / kBytesPerKiB,
                perRun > 0 ? kLocatorLogLimitBytes / perHour : 0.0);
    return perRun > 0 ? 0 : 1;
}
} // namespace

int main(int argc, char *argv[])
{
    // The locator reads these; the benchmark's own folders stand in for the
    // user's.
    qputenv("TMPDIR", QFile::encodeName(QDir::current().absoluteFilePath("bench-tmp")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(QDir::current().absoluteFilePath("bench-cache")));
    QApplication application(argc, argv);
    const int conversion = conversionThroughput();
    const int locator = locatorTick();
    return conversion != 0 ? conversion : locator;
}
