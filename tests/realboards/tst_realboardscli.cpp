// The command line to boards no one here wrote: rudireze-cli, run as a
// process, uploads a sketch, with or without --verify, to two simulated
// boards of its kind at once through the road's bridge and UART; the flash
// holds the image, erased after it, no byte was lost and the new program
// runs. The sketches that fill the flash below the bootloader are the
// largest images the boards take: one byte more is refused, nothing sent.
#include "firmware/hexconversion.h"
#include "firmwaretesting.h"
#include "hexwriter.h"
#include "modulethread.h"
#include "realboards.h"
#include "testkit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace RealBoards;
using namespace TestKit;

namespace {
// full-mega is written and read back at kFastSpeed; a loaded machine gets
// room to spare. The program's own limit ends it before ours does.
constexpr int kUploadTimeoutMs = 150000;
constexpr int kCliTimeoutSeconds = 120;
constexpr int kRefusalTimeoutMs = 30000;

QString targetOf(ModuleThread &modules, int index)
{
    return TestKit::target(modules.address(index).toString(), modules.dataPort(index),
                           modules.atPort(index));
}

struct CliRun
{
    bool reached = true;
    bool finished = false;
    bool succeeded = false;
    QString out;
    QString describe;
};

// rudireze-cli on the boards at the given indices: each board runs in real
// time until the program has reached its bootloader, faster after that.
CliRun runOnBoards(ModuleThread &modules, const QList<int> &boards, const QStringList &arguments)
{
    QList<ModuleCounters> before;
    for (int i : boards) {
        modules.setSimulationSpeed(i, kRealTime);
        before.append(modules.counters(i));
    }
    CliRun run;
    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    if (!cli.waitForStarted(kProcessStartMs))
        return run;
    for (int n = 0; n < boards.size(); ++n)
        run.reached = speedUpOnceReached(modules, boards.at(n), before.at(n).resets,
                                         before.at(n).dataBytesIn)
            && run.reached;
    run.finished
        = QTest::qWaitFor([&cli] { return cli.state() == QProcess::NotRunning; }, kUploadTimeoutMs);
    if (!run.finished) {
        cli.kill();
        cli.waitForFinished(kProcessStopMs);
    }
    run.out = QString::fromUtf8(cli.readAllStandardOutput());
    run.describe = QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3")
                       .arg(cli.exitCode())
                       .arg(run.out, QString::fromUtf8(cli.readAllStandardError()));
    run.succeeded = run.reached && run.finished && cli.exitStatus() == QProcess::NormalExit
        && cli.exitCode() == kExitSuccess;
    return run;
}

// A copy that read or --backup kept, as the flash it came from: erased
// flash after it, up to the boot section.
QByteArray flashOfCopy(const QString &path, BoardKind kind)
{
    QByteArray copy;
    if (path.endsWith(QLatin1String(".bin")))
        copy = fileContents(path);
    else if (!convertHexFile(path, &copy).ok())
        return QByteArray();
    const int bootStart = int(boardTraits(kind).bootStart);
    return copy + QByteArray(qMax(0, bootStart - copy.size()), '\xff');
}

} // namespace

class RealBoardsCliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everySketchThroughTheCommandLine_data();
    void everySketchThroughTheCommandLine();

private:
    // The sketch's image and one byte more, to the same boards.
    void refuseOneByteMore(const QByteArray &image, BoardKind kind, ModuleThread &modules,
                           const QStringList &targets);

    // Each sketch gets modules at fresh addresses, apart from the window
    // test's.
    TestKit::LoopbackAddresses addresses { "127.0.0.150" };
};

void RealBoardsCliTest::initTestCase()
{
    const QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void RealBoardsCliTest::everySketchThroughTheCommandLine_data()
{
    addRoadRows(true);
}

void RealBoardsCliTest::everySketchThroughTheCommandLine()
{
    QFETCH(int, road);
    const Road how = roads().at(road);
    const BoardFiles::Sketch sketch = BoardFiles::sketch(how.sketch);
    QString why;
    const QByteArray image = sketchImage(sketch, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));

    // Boards that already hold a program, for the backup.
    const BoardFiles::Sketch heldSketch = BoardFiles::sketch(how.heldBefore);
    const QByteArray held = how.heldBefore.isEmpty() ? QByteArray() : sketchImage(heldSketch, &why);
    ModuleOptions options = simulatedModules(sketch.kind, addresses.take(kBoardsAtOnce));
    options.initialFlash = held;
    options.link = linkFor(how, road);
    ModuleThread modules;
    QVERIFY2(modules.start(kBoardsAtOnce, options, &why), qPrintable(why));

    QStringList arguments { QStringLiteral("upload"),           sketch.hexPath,
                            QStringLiteral("--board"),          deviceText(sketch.kind),
                            QStringLiteral("--json"),           QStringLiteral("--timeout"),
                            QString::number(kCliTimeoutSeconds) };
    if (how.verify)
        arguments << QStringLiteral("--verify");
    QTemporaryDir copies;
    if (!how.heldBefore.isEmpty())
        arguments << QStringLiteral("--backup") << copies.path();
    QStringList targets;
    for (int i = 0; i < kBoardsAtOnce; ++i)
        targets << targetOf(modules, i);
    arguments << targets;

    const CliRun run = runOnBoards(modules, { 0, 1 }, arguments);
    QVERIFY2(run.reached, qPrintable(run.describe));
    QVERIFY2(run.finished, qPrintable(run.describe));
    QVERIFY2(run.succeeded, qPrintable(run.describe));
    const QString &out = run.out;
    const QString &describe = run.describe;

    const QJsonObject report = QJsonDocument::fromJson(out.toUtf8()).object();
    QCOMPARE(report.value(QStringLiteral("succeeded")).toInt(), kBoardsAtOnce);
    QCOMPARE(report.value(QStringLiteral("failed")).toInt(), 0);
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const QJsonObject result = resultFor(report, targets.at(i));
        QVERIFY2(!result.isEmpty(), qPrintable(describe));
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QCOMPARE(result.value(QStringLiteral("verified")).toBool(), how.verify);
        QCOMPARE(result.value(QStringLiteral("bytes")).toInt(), image.size());

        const QString problem = flashProblem(modules.flash(i), image, sketch.kind);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(modules.counters(i).bytesLost, 0);
        // The new program runs.
        QVERIFY(readSketchLine(modules.address(i), modules.dataPort(i), sketch.line)
                    .contains(sketch.line));
        if (!how.heldBefore.isEmpty()) {
            // The copy kept before writing holds the earlier program.
            const QString problem = flashProblem(
                flashOfCopy(result.value(QStringLiteral("file")).toString(), sketch.kind), held,
                sketch.kind);
            QVERIFY2(problem.isEmpty(), qPrintable(problem + describe));
        }
    }

    const int application = int(boardTraits(sketch.kind).bootStart);
    if (image.size() == application)
        refuseOneByteMore(image, sketch.kind, modules, targets);
    if (how.heldBefore.isEmpty())
        return;

    // read gives back what was written: as HEX, and raw.
    const QStringList files = { copies.filePath(QStringLiteral("read.hex")),
                                copies.filePath(QStringLiteral("read.bin")) };
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const CliRun read
            = runOnBoards(modules, { i },
                          { QStringLiteral("read"), targets.at(i), QStringLiteral("--board"),
                            deviceText(sketch.kind), QStringLiteral("-o"), files.at(i) });
        QVERIFY2(read.succeeded, qPrintable(read.describe));
        const QString problem
            = flashProblem(flashOfCopy(files.at(i), sketch.kind), image, sketch.kind);
        QVERIFY2(problem.isEmpty(), qPrintable(problem + read.describe));
    }
    // The backup puts the earlier program back, and it runs.
    const QString backup
        = resultFor(report, targets.at(0)).value(QStringLiteral("file")).toString();
    const CliRun restore
        = runOnBoards(modules, { 0 },
                      { QStringLiteral("upload"), backup, QStringLiteral("--board"),
                        deviceText(sketch.kind), targets.at(0) });
    QVERIFY2(restore.succeeded, qPrintable(restore.describe));
    QVERIFY(modules.flash(0).left(held.size()) == held);
    QVERIFY(readSketchLine(modules.address(0), modules.dataPort(0), heldSketch.line)
                .contains(heldSketch.line));
}

void RealBoardsCliTest::refuseOneByteMore(const QByteArray &image, BoardKind kind,
                                          ModuleThread &modules, const QStringList &targets)
{
    QRandomGenerator random(image.size());
    QFile hex(QStringLiteral("one-byte-more.hex"));
    QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hex.write(HexWriter(random).write({ { 0, image + '\x5A' } }));
    hex.close();
    QList<ModuleCounters> before;
    for (int i = 0; i < kBoardsAtOnce; ++i)
        before.append(modules.counters(i));

    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE),
              words("upload %1 --board %2 --verify", { hex.fileName(), deviceText(kind) })
                  + targets);
    QVERIFY(cli.waitForFinished(kRefusalTimeoutMs));
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QCOMPARE(cli.exitCode(), kExitUsage);
    QVERIFY2(err.contains(QStringLiteral("gives a %1-byte image, larger than the %2 bytes below "
                                         "the bootloader of a %3 board; nothing was uploaded")
                              .arg(image.size() + 1)
                              .arg(image.size())
                              .arg(deviceText(kind))),
             qPrintable(err));
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        QCOMPARE(modules.counters(i).dataConnections, before.at(i).dataConnections);
        QCOMPARE(modules.counters(i).resets, before.at(i).resets);
        const QString problem = flashProblem(modules.flash(i), image, kind);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
}

QTEST_GUILESS_MAIN(RealBoardsCliTest)
#include "tst_realboardscli.moc"
