#pragma once

// The whole road of an upload, for tests: a window bound to UDP 3333, virtual
// modules on a thread of their own announcing themselves to it, firmware that
// the window finds and converts itself, and what the rows show.

#include "devicetable.h"
#include "hexwriter.h"
#include "modulegroup.h"
#include "modulethread.h"
#include "testkit.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <cmath>
#include <memory>

namespace road {

// Modules announce often so rows appear quickly; the window keeps a row for
// 6 to 8 s after the last announcement, far longer than this.
constexpr int kAnnounceIntervalMs = 200;
constexpr int kRowWaitMs = 10000;
// Longest end-to-end upload of these tests, with room for the sanitizer build.
constexpr int kUploadLimitMs = 120000;

using TestKit::kErased;
using TestKit::kMega;
using TestKit::kUno;
constexpr double kPercent = 100.0;
// Images of a few pages, and of about 30 KiB: most of an UNO's flash, with a
// short last page on both boards.
constexpr int kSmallImage = 300;
constexpr int kLargeImage = 30000;

// Bytes that differ from page to page and from image to image: the top byte
// of a linear congruential generator (Numerical Recipes' constants).
inline QByteArray patternImage(int size, int seed)
{
    constexpr quint32 kSeedMix = 0x9E3779B9u;
    constexpr quint32 kMultiplier = 1664525u;
    constexpr quint32 kIncrement = 1013904223u;
    constexpr int kTopByteShift = 24;
    QByteArray bytes(size, '\0');
    quint32 state = kSeedMix ^ static_cast<quint32>(seed);
    for (int i = 0; i < size; ++i) {
        state = state * kMultiplier + kIncrement;
        bytes[i] = static_cast<char>(state >> kTopByteShift);
    }
    return bytes;
}

// What the board's flash holds after the image was written into it.
inline QByteArray flashWith(const QByteArray &image, int flashSize)
{
    return image + QByteArray(flashSize - image.size(), kErased);
}

// Intel HEX for an image at address 0, as an Arduino build writes it.
inline QByteArray hexFor(const QByteArray &image)
{
    return HexWriter::plain(image);
}

using TestKit::writeFile;

// The firmware the window takes by default: the temporary directory points
// at a folder of the test's own, holding a build folder with one sketch.
class DefaultFirmware
{
public:
    DefaultFirmware()
        : root(QDir::current().absoluteFilePath(QStringLiteral("road-tmp")))
        , cache(QDir::current().absoluteFilePath(QStringLiteral("road-cache")))
        , previousTmp(qgetenv("TMPDIR"))
        , previousCache(qgetenv("XDG_CACHE_HOME"))
    {
        for (const QString &folder : { root, cache }) {
            QDir(folder).removeRecursively();
            QDir().mkpath(folder);
        }
        QDir(root).mkpath(QStringLiteral("build1.tmp"));
        qputenv("TMPDIR", QFile::encodeName(root));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    }
    ~DefaultFirmware()
    {
        restore("TMPDIR", previousTmp);
        restore("XDG_CACHE_HOME", previousCache);
        QDir(root).removeRecursively();
        QDir(cache).removeRecursively();
    }
    DefaultFirmware(const DefaultFirmware &) = delete;
    DefaultFirmware &operator=(const DefaultFirmware &) = delete;

    QString sketchPath() const { return root + QStringLiteral("/build1.tmp/sketch.ino.hex"); }
    bool setImage(const QByteArray &image) const { return writeFile(sketchPath(), hexFor(image)); }

private:
    static void restore(const char *name, const QByteArray &value)
    {
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    const QString root;
    const QString cache;
    const QByteArray previousTmp;
    const QByteArray previousCache;
};

// What every road test starts from: a fresh default firmware folder, and no
// ./update.bin left by the test before.
class RoadTest : public QObject
{
    Q_OBJECT

protected slots:
    void init()
    {
        QFile::remove(QStringLiteral("update.bin"));
        firmware = std::make_unique<DefaultFirmware>();
    }
    void cleanup() { firmware.reset(); }

protected:
    std::unique_ptr<DefaultFirmware> firmware;
};

// Picks a file by hand, as the user does: Manual Assign File, Open File, the
// dialog, and the box that tells the file was converted.
inline bool pickFile(Widget &window, const QString &path)
{
    WidgetProbe probe(window);
    probe.ui().radioButton->click();
    if (!probe.manualMode())
        return false;
    MessageBoxCloser boxes;
    FileDialogDriver answer(path);
    probe.ui().pushButton_4->click();
    return answer.answered && probe.currentFileName() == QFileInfo(path).fileName();
}

inline QTableWidget *table(Widget &window)
{
    return deviceTable(window);
}

inline QPushButton *uploadButton(Widget &window, const QString &ip)
{
    const int row = rowOf(window, ip);
    return row < 0 ? nullptr
                   : qobject_cast<QPushButton *>(table(window)->cellWidget(row, SendColumn));
}

// Waits for the module's row, put there by its announcement, and sets its
// Device box.
inline QPushButton *awaitRow(Widget &window, const QString &ip, const QString &board)
{
    if (!QTest::qWaitFor([&] { return rowOf(window, ip) >= 0; }, kRowWaitMs))
        return nullptr;
    auto *combo
        = qobject_cast<QComboBox *>(table(window)->cellWidget(rowOf(window, ip), DeviceColumn));
    if (!combo || combo->findText(board) < 0)
        return nullptr;
    combo->setCurrentText(board);
    return uploadButton(window, ip);
}

// What the progress cell shows after each page: the share done so far, as a
// whole percentage truncated, not rounded. With the read-back (the window's
// default) writing fills the first half and reading the second.
inline QString percentAfter(qint64 done, qint64 total, double from = 0.0, double share = 1.0)
{
    const float progress
        = static_cast<float>(static_cast<double>(done) / static_cast<double>(total));
    return QString::number(static_cast<int>(
               std::trunc((from + static_cast<double>(progress) * share) * kPercent)))
        + QLatin1Char('%');
}

// Every distinct text a successful upload shows, in order.
inline QStringList successTexts(int size, int pageSize, bool verified = true)
{
    QStringList texts;
    for (int half = 0; half < (verified ? 2 : 1); ++half) {
        for (qint64 done = 0, count = pageSize; count == pageSize; done += count) {
            count = qMin<qint64>(pageSize, size - done);
            const QString text = percentAfter(done + count, size, half * 0.5, verified ? 0.5 : 1.0);
            if (texts.isEmpty() || texts.last() != text)
                texts << text;
        }
    }
    return texts << QStringLiteral("Successful");
}

// Counts the reports the window took in (each writes "row = N" to the debug log).
class ReportCounter
{
public:
    ReportCounter()
    {
        QMutexLocker lock(&mutex());
        active() = this;
        previous = qInstallMessageHandler(&ReportCounter::handle);
    }
    ~ReportCounter()
    {
        qInstallMessageHandler(previous);
        QMutexLocker lock(&mutex());
        active() = nullptr;
    }
    ReportCounter(const ReportCounter &) = delete;
    ReportCounter &operator=(const ReportCounter &) = delete;

    int count() const { return reports.loadAcquire(); }

private:
    static QMutex &mutex()
    {
        static QMutex lock;
        return lock;
    }
    static ReportCounter *&active()
    {
        static ReportCounter *counter = nullptr;
        return counter;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        QtMessageHandler chained = nullptr;
        {
            QMutexLocker lock(&mutex());
            if (ReportCounter *counter = active()) {
                if (type == QtDebugMsg && text.startsWith(QLatin1String("row = ")))
                    counter->reports.fetchAndAddOrdered(1);
                chained = counter->previous;
            }
        }
        if (chained)
            chained(type, context, text);
    }

    QAtomicInt reports;
    QtMessageHandler previous = nullptr;
};

inline BoardType boardOf(const QString &board)
{
    return board == QLatin1String("UNO") ? BoardType::Uno : BoardType::Mega;
}

inline int flashSizeOf(const QString &board)
{
    return (board == QLatin1String("UNO") ? kUno : kMega).flash;
}

// Module options for these tests: loopback, announcing to the window, and
// a line without delays unless a test asks for one (baud 0: no pacing).
inline ModuleOptions moduleAt(const char *address, BoardType board, int baud = 0)
{
    ModuleOptions options;
    options.address = QHostAddress(QString::fromLatin1(address));
    options.board = board;
    options.announceIntervalMs = kAnnounceIntervalMs;
    options.link.pageWriteUs = 0;
    options.link.baud = baud;
    return options;
}

// What a module saw of its clients, collected from the modules' thread.
class ModuleLog
{
public:
    void attach(ModuleThread &modules, int index)
    {
        modules.run([this, index](ModuleGroup &group) {
            VirtualModule *module = group.module(index);
            QObject::connect(module, &VirtualModule::atCommandReceived, module,
                             [this](const QByteArray &command) {
                                 QMutexLocker lock(&mutex);
                                 commands << command;
                             });
            QObject::connect(module, &VirtualModule::dataDisconnected, module, [this] {
                QMutexLocker lock(&mutex);
                ++disconnects;
            });
        });
    }
    QList<QByteArray> atCommands()
    {
        QMutexLocker lock(&mutex);
        return commands;
    }
    int dataDisconnects()
    {
        QMutexLocker lock(&mutex);
        return disconnects;
    }

private:
    QMutex mutex;
    QList<QByteArray> commands;
    int disconnects = 0;
};

} // namespace road
