// The real bootloaders take a program through their own protocol: a small
// writer programs the tiny sketches page by page, the flash read-out equals
// the image, and the program runs once the writer leaves programming mode.
#include "boardfiles.h"
#include "boardlink.h"
#include "simulatedboard.h"
#include "stkwriter.h"
#include "testkit.h"

#include <QtTest>

using TestKit::kErased;

class ProgrammingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void optibootTakesTheTinySketch();
    void optibootShortLastPageKeepsAStaleTail();
    void stk500v2TakesTheTinySketch();
};

void ProgrammingTest::initTestCase()
{
    if (!BoardFiles::missing().isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs ") + BoardFiles::missing()));
}

void ProgrammingTest::optibootTakesTheTinySketch()
{
    SketchBoard setup;
    QVERIFY(setup.prepare(QStringLiteral("tiny-uno")));
    SimulatedBoard &board = *setup.board;
    const int pageBytes = board.traits().pageBytes;
    board.resetIntoBootloader();

    Stk500v1Writer writer(*setup.link);
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
    QCOMPARE(writer.readSignature(), QByteArray::fromHex("1e950f"));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(setup.image, pageBytes), qPrintable(writer.error()));
    QCOMPARE(writer.readImage(setup.image.size(), pageBytes), setup.image);
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));

    // Leaving arms a 16 ms watchdog; its reset starts the new program.
    QVERIFY(setup.link->waitForText(setup.sketch.line, kSketchLineTimeoutMs));
    const QVector<ResetCause> resets { ResetCause::PowerOn, ResetCause::External,
                                       ResetCause::Watchdog };
    QCOMPARE(setup.link->resets(), resets);

    const QByteArray flash = board.flash();
    QCOMPARE(flash.left(setup.image.size()), setup.image);
    const int bootStart = int(board.traits().bootStart);
    QCOMPARE(flash.mid(setup.image.size(), bootStart - setup.image.size()),
             QByteArray(bootStart - setup.image.size(), kErased));
}

void ProgrammingTest::optibootShortLastPageKeepsAStaleTail()
{
    // optiboot reads the announced count of bytes into its page buffer but
    // always writes the whole page: behind a short last page the flash gets
    // what the buffer still held from the page before.
    SketchBoard setup;
    QVERIFY(setup.prepare(QStringLiteral("tiny-uno")));
    SimulatedBoard &board = *setup.board;
    const int pageBytes = board.traits().pageBytes;
    const int size = setup.image.size();
    const int lastPage = size / pageBytes * pageBytes;
    const int lastCount = size - lastPage;
    QVERIFY(lastPage > 0 && lastCount > 0);
    board.resetIntoBootloader();

    Stk500v1Writer writer(*setup.link);
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(setup.image, pageBytes, false), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(setup.link->waitForText(setup.sketch.line, kSketchLineTimeoutMs));

    const QByteArray flash = board.flash();
    QCOMPARE(flash.left(size), setup.image);
    QCOMPARE(flash.mid(size, pageBytes - lastCount),
             setup.image.mid(lastPage - pageBytes + lastCount, pageBytes - lastCount));
}

void ProgrammingTest::stk500v2TakesTheTinySketch()
{
    constexpr int kPreloadBytes = 1024;
    constexpr char kPreloadByte = 0x55;
    // The MEGA bootloader answers CMD_CHIP_ERASE_ISP with STATUS_CMD_FAILED.
    constexpr quint8 kStatusCmdFailed = 0xC0;
    SketchBoard setup;
    QVERIFY(setup.prepare(QStringLiteral("tiny-mega"), QByteArray(kPreloadBytes, kPreloadByte)));
    SimulatedBoard &board = *setup.board;
    const int pageBytes = board.traits().pageBytes;
    const int size = setup.image.size();
    const int written = (size + pageBytes - 1) / pageBytes * pageBytes;
    QVERIFY(written < kPreloadBytes);

    Stk500v2Writer writer(*setup.link);
    QCOMPARE(writer.signOn().mid(3), QByteArray("AVRISP_2"));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QCOMPARE(writer.readSignature(), QByteArray::fromHex("1e9801"));

    // Chip erase is refused and erases nothing; each page written is erased
    // just before, so the old program survives beyond the new one.
    QCOMPARE(writer.chipErase(), kStatusCmdFailed);
    QCOMPARE(board.flash().left(kPreloadBytes), QByteArray(kPreloadBytes, kPreloadByte));

    QVERIFY2(writer.writeImage(setup.image, pageBytes), qPrintable(writer.error()));
    QCOMPARE(writer.readImage(size, pageBytes), setup.image);
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));

    // Leaving jumps to the program without a reset.
    QVERIFY(setup.link->waitForText(setup.sketch.line, kSketchLineTimeoutMs));
    QCOMPARE(setup.link->resets(), QVector<ResetCause> { ResetCause::PowerOn });

    const QByteArray flash = board.flash();
    QCOMPARE(flash.left(size), setup.image);
    QCOMPARE(flash.mid(size, written - size), QByteArray(written - size, kErased));
    QCOMPARE(flash.mid(written, kPreloadBytes - written),
             QByteArray(kPreloadBytes - written, kPreloadByte));
}

QTEST_GUILESS_MAIN(ProgrammingTest)
#include "tst_simboard_programming.moc"
