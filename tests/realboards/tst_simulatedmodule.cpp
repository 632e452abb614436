// The virtual module with simulated boards behind it: the board's own
// program and bootloader on the data port, AT+MCUUPDATE as the reset line,
// flow control towards a board that reads slowly or not at all (or the
// chip's lossy UART that loses what it cannot hold), the link emulation and
// the bridge's segments on top, the flash dump, and the program's options.
#include "intelhex.h"
#include "modulecommandline.h"
#include "modulegroup.h"
#include "moduleprocess.h"
#include "modulethread.h"
#include "realboards.h"
#include "simulatedbridge.h"
#include "stkframes.h"
#include "testkit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <mutex>

using namespace RealBoards;
using namespace StkFrames;
using TestKit::exchange;
using TestKit::words;

namespace {
constexpr int kWaitMs = 10000;

QByteArray bootloaderBytes(BoardKind kind)
{
    const HexContents hex = readIntelHexFile(BoardFiles::bootloaderHex(kind));
    return flatImage(hex).mid(int(boardTraits(kind).bootStart));
}

// What the program printed just before the reset may still come; the
// bootloader says nothing before it is asked.
void drainUntilQuiet(QTcpSocket &socket)
{
    constexpr int kQuietMs = 100;
    QDeadlineTimer deadline(kWaitMs);
    while (socket.waitForReadyRead(kQuietMs) && !deadline.hasExpired())
        socket.readAll();
}

bool connectData(QTcpSocket &socket, ModuleThread &modules, int index)
{
    return TestKit::connectTo(socket, modules.address(index), modules.dataPort(index),
                              kConnectTimeoutMs);
}

bool handshake(ModuleThread &modules, int index, BoardKind kind)
{
    QString error;
    const bool done = atHandshake(modules.address(index), modules.atPort(index), kind, &error);
    if (!done)
        qWarning("%s", qPrintable(error));
    return done;
}

void addKinds()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("sketch");
    QTest::newRow("UNO") << int(BoardKind::Uno) << QStringLiteral("tiny-uno");
    QTest::newRow("MEGA") << int(BoardKind::Mega) << QStringLiteral("tiny-mega");
}
} // namespace

class SimulatedModuleTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void programRunsFromPowerOn_data() { addKinds(); }
    void programRunsFromPowerOn();
    void resetStartsTheRealBootloader_data() { addKinds(); }
    void resetStartsTheRealBootloader();
    void clientIsHeldBackWhileTheProgramDoesNotRead_data();
    void clientIsHeldBackWhileTheProgramDoesNotRead();
    void bridgeCutsTheLineIntoSegments_data();
    void bridgeCutsTheLineIntoSegments();
    void burstsLongerThanTheModuleHoldsAreAnswered_data();
    void burstsLongerThanTheModuleHoldsAreAnswered();
    void latencyAndBaudWorkOnTop();
    void programWritesTheFlashOnRequestAndOnExit();
    void commandLineNamesTheSimulatedBoards();
};

void SimulatedModuleTest::initTestCase()
{
    const QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
}

void SimulatedModuleTest::programRunsFromPowerOn()
{
    QFETCH(int, kind);
    QFETCH(QString, sketch);
    const BoardFiles::Sketch program = BoardFiles::sketch(sketch);
    QString why;
    ModuleOptions options = simulatedModules(BoardKind(kind), QHostAddress("127.0.0.2"));
    options.initialFlash = sketchImage(program, &why);
    QVERIFY2(!options.initialFlash.isEmpty(), qPrintable(why));
    ModuleThread modules;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));

    // A power-on reset: both bootloaders start the program at once.
    QVERIFY(readSketchLine(modules.address(0), modules.dataPort(0), program.line)
                .contains(program.line));
}

void SimulatedModuleTest::resetStartsTheRealBootloader()
{
    QFETCH(int, kind);
    QFETCH(QString, sketch);
    const BoardKind board = BoardKind(kind);
    const BoardFiles::Sketch program = BoardFiles::sketch(sketch);
    QString why;
    ModuleOptions options = simulatedModules(board, QHostAddress("127.0.0.2"));
    const QByteArray image = sketchImage(program, &why);
    options.initialFlash = image;
    ModuleThread modules;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));

    QVERIFY(handshake(modules, 0, board));
    QCOMPARE(modules.counters(0).resets, 1);
    QTcpSocket data;
    QVERIFY(connectData(data, modules, 0));
    drainUntilQuiet(data);
    if (board == BoardKind::Uno)
        QCOMPARE(exchange(data, kGetSync, kInSyncOk.size()), kInSyncOk);
    else
        QCOMPARE(exchange(data, kSignOnFrame, kSignOnAnswer.size()), kSignOnAnswer);

    const QByteArray flash = modules.flash(0);
    const int bootStart = int(boardTraits(board).bootStart);
    QCOMPARE(flash.size(), int(boardTraits(board).flashBytes));
    QCOMPARE(flash.left(image.size()), image);
    QCOMPARE(flash.mid(image.size(), bootStart - image.size()),
             QByteArray(bootStart - image.size(), '\xff'));
    QCOMPARE(flash.mid(bootStart).left(bootloaderBytes(board).size()), bootloaderBytes(board));
}

void SimulatedModuleTest::clientIsHeldBackWhileTheProgramDoesNotRead_data()
{
    QTest::addColumn<bool>("lossy");
    QTest::newRow("paced UART") << false;
    QTest::newRow("lossy UART") << true;
}

void SimulatedModuleTest::clientIsHeldBackWhileTheProgramDoesNotRead()
{
    // Long enough for the module to take bytes it should not take.
    constexpr int kSettleMs = 500;
    constexpr int kFloodBytes = 64 * 1024;
    // The simulated UART's receive FIFO: the simulator's, larger than the chip's.
    constexpr int kUartHeldBytes = 64;
    QFETCH(bool, lossy);
    // The test program switches its receiver on and never reads it.
    const BoardFiles::Sketch program = BoardFiles::sketch(QStringLiteral("tiny-uno"));
    QString why;
    ModuleOptions options = simulatedModules(BoardKind::Uno, QHostAddress("127.0.0.2"));
    options.initialFlash = sketchImage(program, &why);
    options.link.lossyUart = lossy;
    ModuleThread modules;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));

    QTcpSocket data;
    QVERIFY(connectData(data, modules, 0));
    QCOMPARE(data.write(QByteArray(kFloodBytes, 'x')), qint64(kFloodBytes));
    data.flush();
    if (lossy) {
        // The chip's line does not wait for the program: past its two bytes
        // and the shift register, what arrives is lost and counted.
        QTRY_VERIFY_WITH_TIMEOUT(modules.counters(0).bytesLost > kUartHeldBytes, kWaitMs);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(modules.counters(0).dataBytesIn >= SimulatedBridge::kHeldBytes,
                             kWaitMs);
    QTest::qWait(kSettleMs);
    // What the module took is what it holds for the board plus what the
    // UART took in; the rest waits in TCP.
    QVERIFY2(modules.counters(0).dataBytesIn <= SimulatedBridge::kHeldBytes + kUartHeldBytes,
             qPrintable(QString::number(modules.counters(0).dataBytesIn)));
    // The module itself goes on: the program's line still comes through.
    QVERIFY(readSketchLine(modules.address(0), modules.dataPort(0), program.line)
                .contains(program.line));
}

void SimulatedModuleTest::bridgeCutsTheLineIntoSegments_data()
{
    QTest::addColumn<int>("bridge");
    QTest::newRow("packed") << int(BridgeMode::Packed);
    QTest::newRow("bytes") << int(BridgeMode::Bytes);
}

// The program's line as the module sends it: packed, in one segment or a
// few; byte by byte, a segment per byte. Counted where they leave: a client on a loaded
// machine may read several at once.
void SimulatedModuleTest::bridgeCutsTheLineIntoSegments()
{
    QFETCH(int, bridge);
    const BoardFiles::Sketch program = BoardFiles::sketch(QStringLiteral("tiny-uno"));
    QString why;
    ModuleOptions options = simulatedModules(BoardKind::Uno, QHostAddress("127.0.0.2"));
    options.initialFlash = sketchImage(program, &why);
    options.link.bridge = BridgeMode(bridge);
    ModuleThread modules;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));
    // Segments and their bytes, counted together on the module's thread.
    struct Sent
    {
        int segments = 0;
        int bytes = 0;
    };
    std::mutex lock;
    Sent sent;
    const auto snapshot = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return sent;
    };
    modules.run([&](ModuleGroup &group) {
        QObject::connect(group.module(0)->findChild<SimulatedBridge *>(),
                         &SimulatedBridge::toClient, group.module(0),
                         [&](const QByteArray &segment) {
                             std::lock_guard<std::mutex> hold(lock);
                             ++sent.segments;
                             sent.bytes += segment.size();
                         });
    });
    QTcpSocket data;
    QVERIFY(connectData(data, modules, 0));
    // The first line may have begun before the connection; the next is whole
    // and comes alone, a second after.
    Sent before;
    QDeadlineTimer deadline(kWaitMs);
    for (int line = 0; line < 2; ++line) {
        before = snapshot();
        const QByteArray received = TestKit::readUntil(
            data, [&](const QByteArray &text) { return text.contains(program.line); },
            int(qMax<qint64>(1, deadline.remainingTime())));
        QVERIFY(received.contains(program.line));
    }
    // The module writes a segment to the socket just before it is counted.
    QTRY_VERIFY_WITH_TIMEOUT(snapshot().bytes - before.bytes >= program.line.size(), kWaitMs);
    const Sent after = snapshot();
    const int segments = after.segments - before.segments;
    const int bytes = after.bytes - before.bytes;
    // Packed, a line normally leaves in one piece; a slow simulation (the
    // sanitizer build) may cut it where the bridge saw the line idle.
    if (BridgeMode(bridge) == BridgeMode::Packed)
        QVERIFY2(segments < bytes / 2, qPrintable(QString::number(segments)));
    else
        QCOMPARE(segments, bytes);
}

void SimulatedModuleTest::burstsLongerThanTheModuleHoldsAreAnswered_data()
{
    constexpr int kSyncBurstCount = 300;
    constexpr int kSignOnBurstCount = 100;
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("count");
    QTest::newRow("optiboot") << int(BoardKind::Uno) << kGetSync << kInSyncOk << kSyncBurstCount;
    QTest::newRow("stk500v2") << int(BoardKind::Mega) << kSignOnFrame << kSignOnAnswer
                              << kSignOnBurstCount;
}

void SimulatedModuleTest::burstsLongerThanTheModuleHoldsAreAnswered()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(int, count);
    QVERIFY(request.size() * count > SimulatedBridge::kHeldBytes);
    QString why;
    ModuleThread modules;
    QVERIFY2(modules.start(1, simulatedModules(BoardKind(kind), QHostAddress("127.0.0.2")), &why),
             qPrintable(why));
    QVERIFY(handshake(modules, 0, BoardKind(kind)));
    QTcpSocket data;
    QVERIFY(connectData(data, modules, 0));

    // Every request in one write: the module takes what it can hold and the
    // rest as the bootloader reads; nothing is lost on the way.
    const QByteArray received = exchange(data, request.repeated(count), answer.size() * count);
    QCOMPARE(received.size(), answer.size() * count);
    QCOMPARE(received, answer.repeated(count));
}

void SimulatedModuleTest::latencyAndBaudWorkOnTop()
{
    constexpr int kLatencyMs = 100;
    constexpr int kSlowBaud = 2400;
    constexpr int kSlowSyncCount = 10;
    constexpr qint64 kBitsPerByte = 10;
    constexpr qint64 kMsPerSecond = 1000;
    // The bridge hands bytes over up to a timer tick early, each way, and the
    // simulated UART takes a byte in a fraction of a millisecond.
    constexpr qint64 kLookaheadSlackMs = 3;
    QString why;
    ModuleThread modules;
    QVERIFY2(modules.start(1, simulatedModules(BoardKind::Uno, QHostAddress("127.0.0.2")), &why),
             qPrintable(why));
    QVERIFY(handshake(modules, 0, BoardKind::Uno));
    QTcpSocket data;
    QVERIFY(connectData(data, modules, 0));
    // The first answer waits for optiboot's LED; the link is timed after it.
    QCOMPARE(exchange(data, kGetSync, kInSyncOk.size()), kInSyncOk);

    LinkOptions link;
    link.latencyMs = kLatencyMs;
    modules.setLink(0, link);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(exchange(data, kGetSync, kInSyncOk.size()), kInSyncOk);
    QVERIFY2(clock.elapsed() >= 2 * kLatencyMs, qPrintable(QString::number(clock.elapsed())));

    link = LinkOptions();
    link.baud = kSlowBaud;
    modules.setLink(0, link);
    clock.restart();
    QCOMPARE(exchange(data, kGetSync.repeated(kSlowSyncCount), kInSyncOk.size() * kSlowSyncCount),
             kInSyncOk.repeated(kSlowSyncCount));
    // The last answer cannot leave before every request crossed the line.
    const qint64 lineMs = (kGetSync.size() * kSlowSyncCount + kInSyncOk.size()) * kBitsPerByte
        * kMsPerSecond / kSlowBaud;
    QVERIFY2(
        clock.elapsed() >= lineMs - kLookaheadSlackMs,
        qPrintable(QStringLiteral("%1 ms, the line needs %2").arg(clock.elapsed()).arg(lineMs)));
}

void SimulatedModuleTest::programWritesTheFlashOnRequestAndOnExit()
{
#ifdef Q_OS_WIN
    QSKIP("the program is asked through POSIX signals");
#else
    const BoardFiles::Sketch program = BoardFiles::sketch(QStringLiteral("tiny-uno"));
    const QString flashFile = QDir::current().filePath(QStringLiteral("sim-%n.bin"));
    const QString written = flashOutPath(flashFile, QHostAddress(), 1);
    QFile::remove(written);
    ModuleProcess process;
    QVERIFY(process.start(words("--board uno-sim --announce-ms 0 --flash-in %1 --flash-out %2",
                                { program.binaryPath, flashFile })));
    QCOMPARE(process.modules.size(), 1);
    QCOMPARE(process.modules.at(0).board, QStringLiteral("uno-sim"));

    QVERIFY(TestKit::sendSignal(process.process.processId(), SIGUSR1));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(written), kWaitMs);
    const QByteArray image = TestKit::readFile(program.binaryPath);
    QByteArray flash = TestKit::readFile(written);
    QCOMPARE(flash.size(), int(boardTraits(BoardKind::Uno).flashBytes));
    QCOMPARE(flash.left(image.size()), image);
    const int bootStart = int(boardTraits(BoardKind::Uno).bootStart);
    QCOMPARE(flash.mid(bootStart).left(bootloaderBytes(BoardKind::Uno).size()),
             bootloaderBytes(BoardKind::Uno));

    QFile::remove(written);
    QVERIFY(TestKit::sendSignal(process.process.processId(), SIGTERM));
    QVERIFY(process.process.waitForFinished(kWaitMs));
    QCOMPARE(process.process.exitCode(), 0);
    QCOMPARE(TestKit::readFile(written), flash);
#endif
}

void SimulatedModuleTest::commandLineNamesTheSimulatedBoards()
{
    VirtualModuleCommandLine line;
    QString error;
    QVERIFY2(parseVirtualModuleCommandLine({ "--board", "uno-sim", "--sim-speed", "2.5", "--and",
                                             "--board", "MEGA-SIM", "--and", "--board", "uno" },
                                           &line, &error),
             qPrintable(error));
    QCOMPARE(line.groups.size(), 3);
    QVERIFY(line.groups.at(0).options.simulatedBoard);
    QCOMPARE(line.groups.at(0).options.board, BoardType::Uno);
    QCOMPARE(line.groups.at(0).options.simulationSpeed, 2.5);
    QVERIFY(line.groups.at(1).options.simulatedBoard);
    QCOMPARE(line.groups.at(1).options.board, BoardType::Mega);
    QCOMPARE(line.groups.at(1).options.simulationSpeed, 1.0);
    QVERIFY(!line.groups.at(2).options.simulatedBoard);

    for (const QStringList &bad :
         { QStringList { "--board", "nano-sim" }, QStringList { "--board", "-sim" },
           QStringList { "--sim-speed", "-1" }, QStringList { "--sim-speed", "fast" } }) {
        QVERIFY2(!parseVirtualModuleCommandLine(bad, &line, &error), qPrintable(bad.join(' ')));
        QVERIFY(error.contains(bad.at(0)));
    }
    const QString usage = virtualModuleUsage();
    for (const char *text : { "uno-sim", "mega-sim", "--sim-speed", "libsimavr" })
        QVERIFY2(usage.contains(QLatin1String(text)), text);
}

QTEST_GUILESS_MAIN(SimulatedModuleTest)
#include "tst_simulatedmodule.moc"
