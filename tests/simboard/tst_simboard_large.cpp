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
constexpr char kErased = '\xff';
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
// Empty when the flash holds the image up to the boot section and the boot
// section is as it was; otherwise what differs.
QString flashProblem(const QByteArray &flash, const QByteArray &image, const QByteArray &bootBefore,
                     int bootStart)
{
    if (image.size() != bootStart)
        return QStringLiteral("the image has %1 bytes, not %2").arg(image.size()).arg(bootStart);
    if (flash.left(bootStart) != image)
        return QStringLiteral("the flash does not hold the image");
    if (flash.mid(bootStart) != bootBefore)
        return QStringLiteral("the boot section changed");
    return QString();
}
} // namespace

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
    const int bootStart = int(board->traits().bootStart);
    const int pageBytes = board->traits().pageBytes;
    const QByteArray bootBefore = board->flash().mid(bootStart);
    BoardLink link(*board);
    QVERIFY(board->start());
    board->resetIntoBootloader();

    Stk500v1Writer writer(link);
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(image, pageBytes), qPrintable(writer.error()));
    QVERIFY2(writer.loadAddress(quint32(bootStart / 2)), qPrintable(writer.error()));
    QVERIFY2(writer.programPage(QByteArray(pageBytes, '\0')), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(link.waitForText(sketch.line, kSketchLineTimeoutMs));
    const QString problem = flashProblem(board->flash(), image, bootBefore, bootStart);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    board->resetIntoBootloader();
    QVERIFY2(writer.sync(), qPrintable(writer.error()));
}

void LargeProgramTest::stk500v2TakesTheFullSketch()
{
    const BoardFiles::Sketch sketch = BoardFiles::sketch(QStringLiteral("full-mega"));
    QString why;
    const QByteArray image = sketchImage(sketch.name, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    auto board = boardWithBootloader(sketch.kind, &why);
    QVERIFY2(board, qPrintable(why));
    const int bootStart = int(board->traits().bootStart);
    const int pageBytes = board->traits().pageBytes;
    const QByteArray bootBefore = board->flash().mid(bootStart);
    board->setSpeed(kMegaSpeed);
    BoardLink link(*board);
    QVERIFY(board->start());

    Stk500v2Writer writer(link);
    QVERIFY2(!writer.signOn().isEmpty(), qPrintable(writer.error()));
    QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
    QVERIFY2(writer.writeImage(image, pageBytes), qPrintable(writer.error()));
    QVERIFY2(writer.loadAddress(quint32(bootStart / 2)), qPrintable(writer.error()));
    QVERIFY2(writer.programPage(QByteArray(pageBytes, '\0')), qPrintable(writer.error()));
    QVERIFY2(writer.leaveProgrammingMode(), qPrintable(writer.error()));
    QVERIFY(link.waitForText(sketch.line, kSketchLineTimeoutMs));
    const QString problem = flashProblem(board->flash(), image, bootBefore, bootStart);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    board->resetIntoBootloader();
    QVERIFY2(!writer.signOn().isEmpty(), qPrintable(writer.error()));
}

QTEST_GUILESS_MAIN(LargeProgramTest)
#include "tst_simboard_large.moc"
