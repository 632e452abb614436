// The read-back that --verify adds to the upload engine: reply parsing, the
// page loop against the emulated bootloaders, and the worker's opt-ins.
#include "boardfacts.h"
#include "fakedevices.h"
#include "flash.h"
#include "modulegroup.h"
#include "modulethread.h"
#include "stk500v1bootloader.h"
#include "stk500v2bootloader.h"
#include "testkit.h"
#include "upload/boards.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/thread.h"
#include "virtualmodule.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {
// Far above any run here.
constexpr int kWorkerLimitMs = 60000;
constexpr int kUnoPage = 128;
constexpr int kMegaPage = 256;

using TestKit::compareFound;
using TestKit::hex;

QByteArray pattern(int size, int seed = 0)
{
    return TestKit::pattern(size, seed, 37, 1, 251);
}

// A serial line straight into an emulated bootloader: every byte written is
// fed to it, its answers are there to read at once. A silent line swallows
// the answers, as a board that stopped answering would.
class BootloaderDevice : public FakeLine
{
public:
    BootloaderDevice(bool v2, int corruptPage = -1)
        : part(v2 ? boardTraits(BoardKind::Mega) : boardTraits(BoardKind::Uno))
        , flash(part.flashBytes, part.pageBytes)
    {
        flash.setCorruptPage(corruptPage);
        if (v2)
            bootloader = std::make_unique<Stk500v2Bootloader>(part, flash);
        else
            bootloader = std::make_unique<Stk500v1Bootloader>(part, flash);
    }

    bool waitForReadyRead(int) override { return !pending.isEmpty(); }

    // Writes the image as an uploader would have, page by page.
    void program(const QByteArray &image)
    {
        for (int offset = 0; offset < image.size(); offset += part.pageBytes) {
            flash.erasePage(offset / part.pageBytes);
            flash.program(quint32(offset), image.mid(offset, part.pageBytes));
        }
    }

    bool silent = false;
    int commands = 0;

protected:
    qint64 writeData(const char *data, qint64 maxSize) override
    {
        BootloaderReply reply;
        for (qint64 i = 0; i < maxSize; ++i) {
            if (bootloader->feed(quint8(data[i]), &reply)) {
                ++commands;
                if (!silent)
                    pending += reply.bytes;
            }
        }
        return maxSize;
    }

private:
    BoardTraits part;
    Flash flash;
    std::unique_ptr<Bootloader> bootloader;
};

// A worker run against in-process modules, reports collected.
struct WorkerReports
{
    QList<int> statuses;
    QList<float> progress;

    QList<float> progressOf(int status) const
    {
        QList<float> values;
        for (int i = 0; i < statuses.size(); ++i) {
            if (statuses.at(i) == status)
                values << progress.at(i);
        }
        return values;
    }
};

// The image uploaded to the first module, as the command line asks for it.
UploadRequest uploadTo(ModuleThread &modules, const QString &board, const QByteArray &image,
                       bool verify = false)
{
    UploadRequest request;
    request.at_port = QString::number(modules.atPort(0));
    request.data_port = QString::number(modules.dataPort(0));
    request.host_ip = modules.address(0).toString();
    request.board = boardNamed(board);
    request.image = image;
    request.verify = verify;
    return request;
}

// The read-back over the device; version 2 numbers its messages from *sequence.
FlashComparison readBack(QIODevice *device, bool v2, quint8 *sequence, const QByteArray &image,
                         const ReadBackProgress &report = ReadBackProgress())
{
    UploadRequest request;
    request.board = boardNamed(v2 ? QStringLiteral("MEGA2560") : QStringLiteral("UNO"));
    UploadOutcome outcome;
    if (!v2)
        return Stk500v1Upload(request, outcome, {}).verify_flash(device, image, report);
    Stk500v2Upload upload(request, outcome, {});
    upload.set_sequence(*sequence);
    const FlashComparison result = upload.verify_flash(device, image, report);
    *sequence = upload.sequence();
    return result;
}

WorkerReports runWorker(Thread &thread)
{
    QSignalSpy spy(&thread, &Thread::updateover);
    thread.start();
    if (!thread.wait(kWorkerLimitMs)) {
        thread.requestInterruption();
        thread.wait();
    }
    WorkerReports reports;
    for (const QList<QVariant> &arguments : spy) {
        reports.statuses << arguments.at(1).toInt();
        reports.progress << arguments.at(2).value<float>();
    }
    return reports;
}

ModuleOptions quietModule(const char *address, BoardType board)
{
    ModuleOptions options;
    options.address = QHostAddress(QString::fromLatin1(address));
    options.board = board;
    options.announceIntervalMs = 0;
    return options;
}
} // namespace

class FlashVerifyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void v1Replies_data();
    void v1Replies();
    void v2Replies_data();
    void v2Replies();
    void firstDifference_data();
    void firstDifference();
    void stepNames_data();
    void stepNames();

    void readBackOverTheBootloaders_data();
    void readBackOverTheBootloaders();
    void silentBoardEndsTheReadBack_data();
    void silentBoardEndsTheReadBack();

    void workerVerifies_data();
    void workerVerifies();
    void workerWithoutVerifyMissesTheFault();
    void workerFailureReasons();
};

void FlashVerifyTest::initTestCase()
{
    // Every try of every step writes a debug line.
    QLoggingCategory::setFilterRules(QStringLiteral("rudireze.upload.debug=false"));
}

void FlashVerifyTest::v1Replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data"); // null: refused

    QTest::newRow("three bytes") << hex("14aabbcc10") << 3 << hex("aabbcc");
    QTest::newRow("one byte") << hex("140010") << 1 << hex("00");
    QTest::newRow("not in sync") << hex("15aabbcc10") << 3 << QByteArray();
    QTest::newRow("no OK at the end") << hex("14aabbcc11") << 3 << QByteArray();
    QTest::newRow("one byte short") << hex("14aabb10") << 3 << QByteArray();
    QTest::newRow("one byte long") << hex("14aabbccdd10") << 3 << QByteArray();
    QTest::newRow("empty") << QByteArray() << 0 << QByteArray();
}

void FlashVerifyTest::v1Replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    compareFound(pageOfV1Reply(reply, count), data);
}

void FlashVerifyTest::v2Replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("sequence");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data"); // null: refused

    const QByteArray good = stk500v2::frame(7, hex("1400a1b2c300"));
    QTest::newRow("three bytes") << good << 7 << 3 << hex("a1b2c3");
    QTest::newRow("other sequence number") << good << 8 << 3 << QByteArray();
    QTest::newRow("asked for more") << good << 7 << 4 << QByteArray();

    QByteArray badChecksum = good;
    badChecksum[badChecksum.size() - 1] = char(badChecksum.at(badChecksum.size() - 1) ^ 1);
    QTest::newRow("checksum") << badChecksum << 7 << 3 << QByteArray();
    QTest::newRow("first status failed")
        << stk500v2::frame(7, hex("14c0a1b2c300")) << 7 << 3 << QByteArray();
    QTest::newRow("last status failed")
        << stk500v2::frame(7, hex("1400a1b2c3c0")) << 7 << 3 << QByteArray();
    QTest::newRow("answer to another command")
        << stk500v2::frame(7, hex("1300a1b2c300")) << 7 << 3 << QByteArray();
    QByteArray badToken = good;
    badToken[4] = char(0x0F);
    QTest::newRow("token") << badToken << 7 << 3 << QByteArray();

    const QByteArray page = pattern(kMegaPage);
    QTest::newRow("whole page, sequence 255")
        << stk500v2::frame(255, hex("1400") + page + hex("00")) << 255 << kMegaPage << page;
}

void FlashVerifyTest::v2Replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, sequence);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    compareFound(pageOfV2Reply(reply, quint8(sequence), count), data);
}

void FlashVerifyTest::firstDifference_data()
{
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("actual");
    QTest::addColumn<qint64>("offset");

    QTest::newRow("equal") << hex("010203") << hex("010203") << qint64(-1);
    QTest::newRow("first byte") << hex("010203") << hex("000203") << qint64(0);
    QTest::newRow("last byte") << hex("010203") << hex("010202") << qint64(2);
    QTest::newRow("one bit") << hex("ff") << hex("fe") << qint64(0);
    QTest::newRow("shorter actual agrees") << hex("010203") << hex("0102") << qint64(-1);
    QTest::newRow("empty") << QByteArray() << QByteArray() << qint64(-1);
}

void FlashVerifyTest::firstDifference()
{
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, actual);
    QFETCH(qint64, offset);
    QCOMPARE(::firstDifference(expected, actual), offset);
}

void FlashVerifyTest::stepNames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");

    QTest::newRow("v1 program page") << stk500v1::programPage(hex("0102")).bytes << "program page";
    QTest::newRow("v1 load address") << stk500v1::loadAddress(64).bytes << "load address";
    QTest::newRow("v1 read page") << stk500v1::readPage(kUnoPage).bytes << "read page";
    QTest::newRow("v1 sync") << stk500v1::getSync().bytes << "get sync";
    QTest::newRow("v2 sign on") << stk500v2::signOn(1).bytes << "sign on";
    QTest::newRow("v2 program flash")
        << stk500v2::programFlash(11, hex("01")).bytes << "program flash";
    QTest::newRow("v2 read flash") << stk500v2::readFlash(27, kMegaPage).bytes << "read flash";
    QTest::newRow("v2 signature") << stk500v2::readSignature(7, 0).bytes << "read signature";
    QTest::newRow("unknown") << hex("7720") << "command 0x77";
    QTest::newRow("nothing") << QByteArray() << "empty command";
}

void FlashVerifyTest::stepNames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    const bool v2 = bytes.startsWith(char(stk500v2::kMessageStart));
    QCOMPARE(v2 ? stk500v2::stepName(bytes) : stk500v1::stepName(bytes), name);
}

void FlashVerifyTest::readBackOverTheBootloaders_data()
{
    QTest::addColumn<bool>("v2");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptPage");
    QTest::addColumn<bool>("written");
    QTest::addColumn<qint64>("mismatch");
    QTest::addColumn<qint64>("compared");

    QTest::newRow("v1 full pages")
        << false << 4 * kUnoPage << -1 << true << qint64(-1) << qint64(4 * kUnoPage);
    QTest::newRow("v1 short last page") << false << 300 << -1 << true << qint64(-1) << qint64(300);
    QTest::newRow("v1 one byte") << false << 1 << -1 << true << qint64(-1) << qint64(1);
    QTest::newRow("v1 page 2 corrupt")
        << false << 600 << 2 << true << qint64(2 * kUnoPage) << qint64(2 * kUnoPage);
    QTest::newRow("v1 nothing written") << false << 300 << -1 << false << qint64(0) << qint64(0);
    QTest::newRow("v2 full pages")
        << true << 3 * kMegaPage << -1 << true << qint64(-1) << qint64(3 * kMegaPage);
    QTest::newRow("v2 short last page") << true << 1000 << -1 << true << qint64(-1) << qint64(1000);
    QTest::newRow("v2 page 3 corrupt")
        << true << 1000 << 3 << true << qint64(3 * kMegaPage) << qint64(3 * kMegaPage);
    QTest::newRow("v2 above 128 KiB")
        << true << 129 * 1024 + 5 << -1 << true << qint64(-1) << qint64(129 * 1024 + 5);
    QTest::newRow("v2 corrupt above 128 KiB") << true << 129 * 1024 + 5 << 513 << true
                                              << qint64(513 * kMegaPage) << qint64(513 * kMegaPage);
}

void FlashVerifyTest::readBackOverTheBootloaders()
{
    QFETCH(bool, v2);
    QFETCH(int, size);
    QFETCH(int, corruptPage);
    QFETCH(bool, written);
    QFETCH(qint64, mismatch);
    QFETCH(qint64, compared);

    // Never 0xFF at the start, so an unwritten flash differs at once.
    const QByteArray image = pattern(size, 1);
    BootloaderDevice device(v2, corruptPage);
    if (written)
        device.program(image);

    QList<qint64> progress;
    const auto report = [&progress](qint64 bytes) { progress << bytes; };
    quint8 sequence = 250;
    const FlashComparison result = readBack(&device, v2, &sequence, image, report);
    QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    QCOMPARE(result.firstMismatch, mismatch);
    QCOMPARE(result.bytesCompared, compared);
    QCOMPARE(result.matches(image.size()), mismatch < 0);
    // One report per page that agreed, the last at the bytes compared.
    const int pageSize = v2 ? kMegaPage : kUnoPage;
    QCOMPARE(progress.size(), int((compared + pageSize - 1) / pageSize));
    if (!progress.isEmpty())
        QCOMPARE(progress.last(), compared);
    // Version 1: address and read per page. Version 2: one address, then
    // reads that advance it, another address past 128 KiB. Numbered on from
    // where the session stood (wrapping past 255).
    const int pagesRead = int(compared / pageSize) + (mismatch >= 0 ? 1 : 0)
        + (mismatch < 0 && compared % pageSize ? 1 : 0);
    const int commands = v2 ? pagesRead + 1 + (pagesRead > 512 ? 1 : 0) : 2 * pagesRead;
    QCOMPARE(device.commands, commands);
    if (v2)
        QCOMPARE(sequence, quint8(250 + commands));
}

void FlashVerifyTest::silentBoardEndsTheReadBack_data()
{
    QTest::addColumn<bool>("v2");
    QTest::newRow("v1") << false;
    QTest::newRow("v2") << true;
}

void FlashVerifyTest::silentBoardEndsTheReadBack()
{
    QFETCH(bool, v2);
    const QByteArray image = pattern(500);
    BootloaderDevice device(v2);
    device.program(image);
    device.silent = true;
    quint8 sequence = 10;
    const FlashComparison result = readBack(&device, v2, &sequence, image);
    QVERIFY(result.error.contains(QLatin1String("load-address")));
    QVERIFY(result.error.contains(QLatin1String("0x0000")));
    QCOMPARE(result.firstMismatch, qint64(-1));
    QVERIFY(!result.matches(image.size()));
}

void FlashVerifyTest::workerVerifies_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corruptPage");
    QTest::addColumn<qint64>("mismatch");

    QTest::newRow("UNO passes") << "UNO" << 1000 << -1 << qint64(-1);
    QTest::newRow("UNO full pages pass") << "UNO" << 8 * kUnoPage << -1 << qint64(-1);
    QTest::newRow("UNO page 5 corrupt") << "UNO" << 1000 << 5 << qint64(5 * kUnoPage);
    QTest::newRow("MEGA2560 passes") << "MEGA2560" << 3000 << -1 << qint64(-1);
    QTest::newRow("Orvex0 full pages pass") << "Orvex0" << 4 * kMegaPage << -1 << qint64(-1);
    QTest::newRow("MEGA2560 page 2 corrupt") << "MEGA2560" << 3000 << 2 << qint64(2 * kMegaPage);
}

void FlashVerifyTest::workerVerifies()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    QFETCH(int, corruptPage);
    QFETCH(qint64, mismatch);

    const bool uno = board == QLatin1String("UNO");
    ModuleOptions options = quietModule("127.0.0.61", uno ? BoardType::Uno : BoardType::Mega);
    options.faults.corruptPage = corruptPage;
    ModuleThread modules;
    QString error;
    QVERIFY2(modules.start(1, options, &error), qPrintable(error));

    std::atomic<int> leftBootloader { 0 };
    modules.run([&leftBootloader](ModuleGroup &group) {
        QObject::connect(group.module(0), &VirtualModule::bootloaderLeft,
                         [&leftBootloader] { ++leftBootloader; });
    });

    const QByteArray image = pattern(size, 3);
    Thread thread(uploadTo(modules, board, image, true));
    const WorkerReports reports = runWorker(thread);

    const bool passes = mismatch < 0;
    QCOMPARE(reports.statuses.last(), int(Thread::UPDATE_FINISHED));
    QCOMPARE(reports.progress.last(), passes ? 1.0f : 0.0f);
    QCOMPARE(thread.first_mismatch(), mismatch);
    if (passes) {
        QVERIFY(thread.failure_reason().isEmpty());
        const QList<float> verified = reports.progressOf(Thread::UPDATE_VERIFY_PROGRESS);
        QVERIFY(!verified.isEmpty());
        QCOMPARE(verified.last(), 1.0f);
        QVERIFY(std::is_sorted(verified.begin(), verified.end()));
    } else {
        QVERIFY2(thread.failure_reason().contains(
                     QStringLiteral("0x%1").arg(mismatch, 4, 16, QLatin1Char('0'))),
                 qPrintable(thread.failure_reason()));
    }
    // The board was let go either way: its new program runs.
    const QByteArray flash = modules.flash(0);
    QCOMPARE(flash.left(size) == image, passes);
    QTRY_VERIFY(leftBootloader > 0);
    // Verification ran after the writing: every status 3 follows the last status 2.
    QVERIFY(reports.statuses.lastIndexOf(Thread::UPDATE_PROGRESS)
                < reports.statuses.indexOf(Thread::UPDATE_VERIFY_PROGRESS)
            || reports.statuses.indexOf(Thread::UPDATE_VERIFY_PROGRESS) < 0);
}

void FlashVerifyTest::workerWithoutVerifyMissesTheFault()
{
    ModuleOptions options = quietModule("127.0.0.62", BoardType::Mega);
    options.faults.corruptPage = 1;
    ModuleThread modules;
    QVERIFY(modules.start(1, options));

    const QByteArray image = pattern(2000, 5);
    Thread thread(uploadTo(modules, QStringLiteral("MEGA2560"), image));
    const WorkerReports reports = runWorker(thread);

    // As the window sees it: success, no read-back and no status 3.
    QCOMPARE(reports.statuses.last(), int(Thread::UPDATE_FINISHED));
    QCOMPARE(reports.progress.last(), 1.0f);
    QVERIFY(!reports.statuses.contains(Thread::UPDATE_VERIFY_PROGRESS));
    QCOMPARE(thread.first_mismatch(), qint64(-1));
    QVERIFY(modules.flash(0).left(image.size()) != image);
}

void FlashVerifyTest::workerFailureReasons()
{
    struct Case
    {
        const char *name;
        FaultOptions faults;
        const char *reason;
    };
    FaultOptions refused;
    refused.refuseData = true;
    FaultOptions atRefused;
    atRefused.refuseAt = true;
    FaultOptions oneByte;
    oneByte.oneByteAtReply = true;
    FaultOptions closed;
    // Sign-on, four parameters, enter, three signatures: the 10th is the first address.
    closed.closeDataAt = 11;
    const Case cases[] = {
        { "data refused", refused, "cannot connect to data port" },
        { "AT refused", atRefused, "cannot connect to AT port" },
        { "one-byte AT reply", oneByte, "refused the handshake" },
        { "closed at the first page", closed,
          "the module closed the data connection during the program flash command (image "
          "offset 0)" },
    };
    int address = 63;
    for (const Case &c : cases) {
        ModuleOptions options = quietModule("127.0.0.1", BoardType::Mega);
        options.address = QHostAddress(QStringLiteral("127.0.0.%1").arg(address++));
        options.faults = c.faults;
        ModuleThread modules;
        QVERIFY2(modules.start(1, options), c.name);
        Thread thread(uploadTo(modules, QStringLiteral("MEGA2560"), pattern(700), true));
        runWorker(thread);
        QVERIFY2(thread.failure_reason().contains(QLatin1String(c.reason)),
                 qPrintable(QStringLiteral("%1: %2").arg(c.name, thread.failure_reason())));
        QCOMPARE(thread.first_mismatch(), qint64(-1));
    }
}

QTEST_GUILESS_MAIN(FlashVerifyTest)
#include "tst_flashverify.moc"
