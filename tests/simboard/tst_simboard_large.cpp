// The largest programs through the real bootloaders: the UNO sketch near its
// 31,744-byte limit and the MEGA sketch past 128 KiB, which needs the
// extended address byte.
#include "boardfiles.h"
#include "boardlink.h"
#include "simulatedboard.h"
#include "stkwriter.h"

#include <QtTest>

namespace {
constexpr char kErased = '\xff';
// The MEGA upload runs at three times real speed (about 5 s instead of 14 s).
// The bootloader gives up on a silent line only after about 7 simulated
// seconds, so the test thread may still stall for over 2 s.
constexpr double kMegaSpeed = 3.0;
} // namespace

class LargeProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void optibootTakesTheFullSketch();
    void stk500v2TakesTheSketchPast128KiB();
};

void LargeProgramTest::initTestCase()
{
    if (!BoardFiles::missing().isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs ") + BoardFiles::missing()));
}

void LargeProgramTest::optibootTakesTheFullSketch()
{
    const BoardFiles::Sketch sketch = BoardFiles::sketch(QStringLiteral("full-uno"));
    QString why;
    const QByteArray image = sketchImage(sketch.name, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    auto board = boardWithBootloader(sketch.kind, &why);
    QVERIFY2(board, qPrintable(why));
    BoardLink link(*board);
    QVERIFY(board->start());
    board->resetIntoBootloader();

    Stk500v1Writer writer(link);
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(image, board->traits().pageBytes), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(link.waitForText(sketch.line, kSketchLineTimeoutMs));

    const QByteArray flash = board->flash();
    const int bootStart = int(board->traits().bootStart);
    QCOMPARE(flash.left(image.size()), image);
    QCOMPARE(flash.mid(image.size(), bootStart - image.size()),
             QByteArray(bootStart - image.size(), kErased));
}

void LargeProgramTest::stk500v2TakesTheSketchPast128KiB()
{
    const BoardFiles::Sketch sketch = BoardFiles::sketch(QStringLiteral("over128k-mega"));
    QString why;
    const QByteArray image = sketchImage(sketch.name, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    auto board = boardWithBootloader(sketch.kind, &why);
    QVERIFY2(board, qPrintable(why));
    board->setSpeed(kMegaSpeed);
    BoardLink link(*board);
    QVERIFY(board->start());

    Stk500v2Writer writer(link);
    QVERIFY2(!writer.signOn().isEmpty(), qPrintable(writer.error()));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(image, board->traits().pageBytes), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(link.waitForText(sketch.line, kSketchLineTimeoutMs));

    const QByteArray flash = board->flash();
    const int bootStart = int(board->traits().bootStart);
    QCOMPARE(flash.left(image.size()), image);
    QCOMPARE(flash.mid(image.size(), bootStart - image.size()),
             QByteArray(bootStart - image.size(), kErased));
}

QTEST_GUILESS_MAIN(LargeProgramTest)
#include "tst_simboard_large.moc"
