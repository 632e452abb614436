// The largest programs through the real bootloaders: the sketches that fill
// the flash below the bootloader, the MEGA's past 128 KiB, which needs the
// extended address byte. A page more, into the boot section, is answered and
// not written, as the boot lock bits of an Arduino board have it: the
// bootloader stays whole and takes the next upload.
#include "boardfiles.h"
#include "boardlink.h"
#include "simulatedboard.h"
#include "stkwriter.h"

#include <QtTest>

namespace {
// The MEGA upload runs at three times real speed (about 9 s instead of 26 s).
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
    void stk500v2TakesTheFullSketch();
};

namespace {
// Writes the full sketch and a page more, into the boot section, and leaves:
// the program runs, the flash holds the image and the boot section is as it
// was.
template<typename Writer> void writeTheFullSketch(Writer &writer, SketchBoard &setup)
{
    SimulatedBoard &board = *setup.board;
    const int bootStart = int(board.traits().bootStart);
    const int pageBytes = board.traits().pageBytes;
    const QByteArray bootBefore = board.flash().mid(bootStart);
    QCOMPARE(setup.image.size(), bootStart);
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(setup.image, pageBytes), qPrintable(writer.error()));
    QVERIFY2(writer.loadAddress(quint32(bootStart / 2)), qPrintable(writer.error()));
    QVERIFY2(writer.programPage(QByteArray(pageBytes, '\0')), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(setup.link->waitForText(setup.sketch.line, kSketchLineTimeoutMs));
    QVERIFY2(board.flash().left(bootStart) == setup.image, "the flash does not hold the image");
    QVERIFY2(board.flash().mid(bootStart) == bootBefore, "the boot section changed");
}
} // namespace

void LargeProgramTest::initTestCase()
{
    if (!BoardFiles::missing().isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs ") + BoardFiles::missing()));
}

void LargeProgramTest::optibootTakesTheFullSketch()
{
    SketchBoard setup;
    QVERIFY(setup.prepare(QStringLiteral("full-uno")));
    setup.board->resetIntoBootloader();

    Stk500v1Writer writer(*setup.link);
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
    writeTheFullSketch(writer, setup);
    if (QTest::currentTestFailed())
        return;

    setup.board->resetIntoBootloader();
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
}

void LargeProgramTest::stk500v2TakesTheFullSketch()
{
    SketchBoard setup;
    QVERIFY(setup.prepare(QStringLiteral("full-mega"), QByteArray(), kMegaSpeed));

    Stk500v2Writer writer(*setup.link);
    QVERIFY2(!writer.signOn().isEmpty(), qPrintable(writer.error()));
    writeTheFullSketch(writer, setup);
    if (QTest::currentTestFailed())
        return;

    setup.board->resetIntoBootloader();
    QVERIFY2(!writer.signOn().isEmpty(), qPrintable(writer.error()));
}

QTEST_GUILESS_MAIN(LargeProgramTest)
#include "tst_simboard_large.moc"
