// The command line to boards no one here wrote: rudireze-cli, run as a
// process, uploads a sketch, with or without --verify, to two simulated
// boards of its kind at once through the road's bridge and UART; the flash
// holds the image, erased after it, no byte was lost and the new program
// runs. The sketches that fill the flash below the bootloader are the
// largest images the boards take: one byte more is refused, nothing sent.
#include "hexwriter.h"
#include "modulethread.h"
#include "realboards.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QtTest>

using namespace RealBoards;

namespace {
constexpr int kBoardsAtOnce = 2;
constexpr int kStartTimeoutMs = 5000;
constexpr int kStopTimeoutMs = 5000;
// full-mega is written and read back at kFastSpeed; a loaded machine gets
// room to spare. The program's own limit ends it before ours does.
constexpr int kUploadTimeoutMs = 150000;
constexpr int kCliTimeoutSeconds = 120;
constexpr int kRefusalTimeoutMs = 30000;
constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 2;

QString targetOf(ModuleThread &modules, int index)
{
    return QStringLiteral("%1:%2:%3")
        .arg(modules.address(index).toString())
        .arg(modules.dataPort(index))
        .arg(modules.atPort(index));
}

QJsonObject resultFor(const QJsonObject &report, const QString &target)
{
    for (const QJsonValue &value : report.value(QStringLiteral("results")).toArray()) {
        if (value.toObject().value(QStringLiteral("target")).toString() == target)
            return value.toObject();
    }
    return QJsonObject();
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
    quint32 nextAddress = QHostAddress(QStringLiteral("127.0.0.150")).toIPv4Address();
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

    ModuleOptions options = simulatedModules(sketch.kind, QHostAddress(nextAddress));
    options.link = linkFor(how, road);
    ModuleThread modules;
    QVERIFY2(modules.start(kBoardsAtOnce, options, &why), qPrintable(why));
    nextAddress += kBoardsAtOnce;

    QStringList arguments { QStringLiteral("upload"),           sketch.hexPath,
                            QStringLiteral("--board"),          deviceText(sketch.kind),
                            QStringLiteral("--json"),           QStringLiteral("--timeout"),
                            QString::number(kCliTimeoutSeconds) };
    if (how.verify)
        arguments << QStringLiteral("--verify");
    QStringList targets;
    QList<ModuleCounters> before;
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        targets << targetOf(modules, i);
        before.append(modules.counters(i));
    }
    arguments << targets;

    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    QVERIFY2(cli.waitForStarted(kStartTimeoutMs), qPrintable(cli.errorString()));
    bool reached = true;
    for (int i = 0; i < kBoardsAtOnce; ++i)
        reached = speedUpOnceReached(modules, i, before.at(i).resets, before.at(i).dataBytesIn)
            && reached;
    const bool finished
        = QTest::qWaitFor([&cli] { return cli.state() == QProcess::NotRunning; }, kUploadTimeoutMs);
    if (!finished) {
        cli.kill();
        cli.waitForFinished(kStopTimeoutMs);
    }
    const QString out = QString::fromUtf8(cli.readAllStandardOutput());
    const QString describe = QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3")
                                 .arg(cli.exitCode())
                                 .arg(out, QString::fromUtf8(cli.readAllStandardError()));
    QVERIFY2(reached, qPrintable(describe));
    QVERIFY2(finished, qPrintable(describe));
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == kExitSuccess,
             qPrintable(describe));

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
    }

    const int application = int(boardTraits(sketch.kind).bootStart);
    if (image.size() == application)
        refuseOneByteMore(image, sketch.kind, modules, targets);
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
              QStringList { QStringLiteral("upload"), hex.fileName(), QStringLiteral("--board"),
                            deviceText(kind), QStringLiteral("--verify") }
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
