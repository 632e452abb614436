// Virtual modules in-process over real loopback sockets: the handshake, the
// uploads as the upload worker sends them, the link emulation and every
// fault switch. No announcements go to UDP 3333 here.
#include "moduleclient.h"
#include "modulegroup.h"
#include "modulethread.h"
#include "seriallink.h"
#include "stkframes.h"
#include "testkit.h"
#include "virtualmodule.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

using namespace StkFrames;
using namespace TestKit;

namespace {
constexpr int kBaud9600 = 9600;
constexpr int kBaud115200 = 115200;

ModuleOptions quietOptions(BoardType board)
{
    ModuleOptions options;
    options.board = board;
    options.announceIntervalMs = 0;
    return options;
}

// A module waiting in its bootloader, as after the update handshake.
ModuleOptions bootloaderOptions(BoardType board)
{
    ModuleOptions options = quietOptions(board);
    options.startInBootloader = true;
    return options;
}

// The same with one fault switched on.
template<typename T>
ModuleOptions bootloaderOptions(BoardType board, T FaultOptions::*fault, T value)
{
    ModuleOptions options = bootloaderOptions(board);
    options.faults.*fault = value;
    return options;
}

std::unique_ptr<VirtualModule> startModule(const ModuleOptions &options)
{
    auto module = std::make_unique<VirtualModule>(options);
    QString error;
    if (!module->start(&error))
        qWarning("module did not start: %s", qPrintable(error));
    return module;
}

// The upload worker's version 1 preamble: command and reply length.
QList<QPair<QByteArray, int>> v1Preamble()
{
    QList<QPair<QByteArray, int>> steps;
    for (int i = 0; i < 3; ++i)
        steps.append({ hex("3020"), 2 });
    for (const char *id : { "80", "81", "82", "98", "84", "85", "86", "87", "89", "81", "82" })
        steps.append({ hex("41") + hex(id) + hex("20"), 3 });
    steps.append({ v1SetDevice(), 2 });
    steps.append({ hex("450504d7c20020"), 2 });
    steps.append({ hex("5020"), 2 });
    steps.append({ hex("7520"), 5 });
    for (const char *aa : { "fc", "fd", "fe", "ff" })
        steps.append({ hex("56a003") + hex(aa) + hex("0020"), 3 });
    return steps;
}
} // namespace

class VirtualModuleTest : public QObject
{
    Q_OBJECT

private slots:
    void megaHandshakeAndUploadAsTheWorkerSendsIt();
    void unoUploadOverA115200BaudLink();
    void megaPagesLandAbove128KiBOverTheNetwork();
    void boardRunsItsApplicationUntilReset();
    void resetForgetsAHalfReceivedCommand();
    void atRenameAndUnknownCommands();
    void linkPacesBytesAndAddsLatency();
    void pageWriteTimeDelaysTheReply();
    void faultSplitReplies_data();
    void faultSplitReplies();
    void faultShortAndLongReplies();
    void faultNoReply();
    void faultCloseDataConnection();
    void faultRefusedConnections();
    void faultOneByteAtReply();
    void faultStopAnnouncing();
    void faultSmallReceiveBuffer();
    void faultCorruptPage();
    void newDataClientTakesOver();
    void manyModulesInOneThread();
    void flashDumpAndInitialContent();
    void moduleThreadServesABlockingClient();
};

void VirtualModuleTest::megaHandshakeAndUploadAsTheWorkerSendsIt()
{
    auto module = startModule(quietOptions(BoardType::Mega));
    QSignalSpy resets(module.get(), &VirtualModule::boardReset);
    QSignalSpy commands(module.get(), &VirtualModule::commandReceived);
    QSignalSpy pages(module.get(), &VirtualModule::pageWritten);
    QSignalSpy left(module.get(), &VirtualModule::bootloaderLeft);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QVERIFY(client.connectAt());
    QVERIFY(client.handshake("MEGA"));
    QCOMPARE(resets.count(), 1);

    // Sign-on, parameters, enter and signature with the listed lengths, each
    // reply in one piece.
    const QByteArray signOn = client.exchange(hex("1b0100010e0114"), kSignOnReply);
    QCOMPARE(signOn.size(), kSignOnReply);
    QCOMPARE(client.pieces.size(), 1);
    QCOMPARE(signOn.mid(8, 8), QByteArray("AVRISP_2"));
    quint8 sequence = 2;
    for (quint8 id : { 0x90, 0x91, 0x92, 0x94 }) {
        QCOMPARE(client.exchange(v2GetParameter(sequence, id), kParameterReply).size(),
                 kParameterReply);
        QCOMPARE(quint8(client.received.at(1)), sequence);
        ++sequence;
    }
    QCOMPARE(client.exchange(v2Enter(sequence++), kShortFrameReply).size(), kShortFrameReply);
    QByteArray signature;
    for (quint8 i = 0; i < 3; ++i) {
        QCOMPARE(client.exchange(v2Signature(sequence++, i), kSignatureReply).size(),
                 kSignatureReply);
        signature += client.received.at(10);
    }
    QCOMPARE(signature, hex("1e9801"));

    // An image of 300 bytes: two pages, the second filled up with 0xFF.
    const QByteArray image = pattern(300, 4);
    QByteArray second = image.mid(256);
    second += QByteArray(256 - second.size(), char(0xFF));
    for (int page = 0; page < 2; ++page) {
        QCOMPARE(client.exchange(v2LoadAddress(sequence++, quint32(page) * 128), kShortFrameReply)
                     .size(),
                 kShortFrameReply);
        const QByteArray data = page == 0 ? image.left(256) : second;
        QCOMPARE(client.exchange(v2ProgramPage(sequence, data), kShortFrameReply),
                 v2(sequence, hex("1300")));
        ++sequence;
    }
    QCOMPARE(client.exchange(v2Leave(sequence), kShortFrameReply), v2(sequence, hex("1100")));

    QCOMPARE(module->flash().left(300), image);
    QCOMPARE(module->flash().mid(300, 300), QByteArray(300, char(0xFF)));
    QCOMPARE(pages.count(), 2);
    QCOMPARE(pages.at(1).at(0).toInt(), 256);
    QCOMPARE(commands.count(), 1 + 4 + 1 + 3 + 4 + 1);
    QCOMPARE(commands.first().at(0).toInt(), 1);
    QCOMPARE(commands.first().at(1).toByteArray(), hex("1b0100010e0114"));
    QCOMPARE(left.count(), 1);
    QVERIFY(!module->inBootloader());
    const ModuleCounters counts = module->counters();
    QCOMPARE(counts.pagesWritten, 2);
    QCOMPARE(counts.resets, 1);
    QCOMPARE(counts.atCommands, 2);
}

void VirtualModuleTest::unoUploadOverA115200BaudLink()
{
    ModuleOptions options = quietOptions(BoardType::Uno);
    options.link.baud = kBaud115200;
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QVERIFY(client.connectAt());
    QVERIFY(client.handshake("UNO"));

    for (const auto &step : v1Preamble()) {
        const QByteArray reply = client.exchange(step.first, step.second);
        QCOMPARE(reply.size(), step.second);
        QCOMPARE(client.pieces.size(), 1);
        QCOMPARE(quint8(reply.at(0)), quint8(0x14));
        QCOMPARE(quint8(reply.back()), quint8(0x10));
    }
    QCOMPARE(client.received, hex("14ff10")); // the last EEPROM byte, erased

    // 1000 bytes: seven full pages and one of 104 bytes, then leave.
    const QByteArray image = pattern(1000, 7);
    for (int page = 0; page * 128 < image.size(); ++page) {
        QCOMPARE(client.exchange(v1LoadAddress(quint16(page * 64)), 2), hex("1410"));
        QCOMPARE(client.exchange(v1ProgramPage(image.mid(page * 128, 128)), 2), hex("1410"));
        QCOMPARE(client.pieces.size(), 1);
    }
    QCOMPARE(client.exchange(hex("5120"), 2), hex("1410"));
    QCOMPARE(module->flash().left(1000), image);
    QCOMPARE(module->flash().mid(1000, 24), QByteArray(24, char(0xFF)));
    QCOMPARE(module->counters().pagesWritten, 8);
}

void VirtualModuleTest::megaPagesLandAbove128KiBOverTheNetwork()
{
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());

    // Pages 0, 1 and 2, then 511 to 514 across the 128 KiB line, as a
    // sequential upload would carry them, each word address with its
    // extended byte; then the last page of the flash.
    quint8 sequence = 1;
    int programs = 0;
    const QList<int> pageNumbers = { 0, 1, 2, 511, 512, 513, 514, 1023 };
    for (int page : pageNumbers) {
        client.exchange(v2LoadAddress(sequence++, quint32(page) * 128), kShortFrameReply);
        QCOMPARE(client.exchange(v2ProgramPage(sequence, pattern(256, page)), kShortFrameReply),
                 v2(sequence, hex("1300")));
        ++sequence;
        ++programs;
    }
    const QByteArray flash = module->flash();
    for (int page : pageNumbers)
        QCOMPARE(flash.mid(page * 256, 256), pattern(256, page));
    QCOMPARE(flash.mid(3 * 256, 256), QByteArray(256, char(0xFF)));
    QCOMPARE(module->counters().pagesWritten, programs);

    // And read back through the data port from above 128 KiB.
    client.exchange(v2LoadAddress(sequence++, 513 * 128), kShortFrameReply);
    const QByteArray read = client.exchange(v2ReadFlash(sequence, 256), 256 + 9);
    QCOMPARE(read, v2(sequence, hex("1400") + pattern(256, 513) + hex("00")));
}

void VirtualModuleTest::boardRunsItsApplicationUntilReset()
{
    auto module = startModule(quietOptions(BoardType::Mega));
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QVERIFY(client.connectAt());
    client.exchange(v2SignOn(1), kSignOnReply, 0);
    QVERIFY(client.staysSilent());
    QCOMPARE(module->counters().bytesToApplication, 7);

    // Either update command resets the one board there is.
    QVERIFY(client.handshake("UNO"));
    QCOMPARE(client.exchange(v2SignOn(2), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(client.exchange(v2Leave(3), kShortFrameReply).size(), kShortFrameReply);
    client.exchange(v2SignOn(4), kSignOnReply, 0);
    QVERIFY(client.staysSilent());
    QCOMPARE(module->counters().bytesToApplication, 14);
}

void VirtualModuleTest::resetForgetsAHalfReceivedCommand()
{
    auto module = startModule(quietOptions(BoardType::Uno));
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QVERIFY(client.connectAt());
    QVERIFY(client.handshake("UNO"));
    client.exchange(hex("640080460102"), 2, 0);
    QVERIFY(client.staysSilent());
    QVERIFY(client.handshake("UNO"));
    QCOMPARE(client.exchange(hex("3020"), 2), hex("1410"));
    QCOMPARE(module->counters().commandsSinceReset, 1);
}

void VirtualModuleTest::atRenameAndUnknownCommands()
{
    auto module = startModule(quietOptions(BoardType::Mega));
    QSignalSpy renamed(module.get(), &VirtualModule::renamed);
    QSignalSpy atCommands(module.get(), &VirtualModule::atCommandReceived);
    ModuleClient client(module.get());
    QVERIFY(client.connectAt());

    // As the window renames: no line end at all.
    QCOMPARE(client.atCommand("AT+HOSTNAME=bench-7"), QByteArray("OK\r\n"));
    QCOMPARE(renamed.count(), 1);
    QCOMPARE(module->name(), QStringLiteral("bench-7"));
    QVERIFY(module->announcement().contains("\"hostname\":\"bench-7\""));
    // Latin-1 bytes, as the window sends them.
    QCOMPARE(client.atCommand("AT+HOSTNAME=caf\xe9\r\n"), QByteArray("OK\r\n"));
    QCOMPARE(module->name(), QString::fromUtf8("caf\xc3\xa9"));
    QVERIFY(module->announcement().contains("caf\xc3\xa9"));

    QCOMPARE(client.atCommand("AT+BOGUS\r\n", 7), QByteArray("ERROR\r\n"));
    QCOMPARE(atCommands.count(), 3);
    QCOMPARE(atCommands.last().at(0).toByteArray(), QByteArray("AT+BOGUS"));
}

void VirtualModuleTest::linkPacesBytesAndAddsLatency()
{
    ModuleOptions options = bootloaderOptions(BoardType::Uno);
    options.link.baud = kBaud9600;
    options.link.pageWriteUs = 0;
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());

    // 133 bytes out and 2 back at 9600 baud take at least 135 byte times.
    constexpr qint64 kPageExchangeMs = (133 + 2) * 10 * 1000 / kBaud9600;
    QCOMPARE(client.exchange(v1ProgramPage(pattern(128, 1)), 2), hex("1410"));
    QVERIFY2(client.elapsedSinceSend() >= kPageExchangeMs,
             qPrintable(QString::number(client.elapsedSinceSend())));
    QCOMPARE(client.pieces.size(), 1);

    // The latency counts in each direction, on the data and the AT port.
    constexpr int kLatencyMs = 120;
    LinkOptions link;
    link.latencyMs = kLatencyMs;
    module->setLink(link);
    QCOMPARE(client.exchange(hex("3020"), 2), hex("1410"));
    QVERIFY(client.elapsedSinceSend() >= 2 * kLatencyMs);
    QVERIFY(client.connectAt());
    QElapsedTimer atClock;
    atClock.start();
    QCOMPARE(client.atCommand("AT+U2W=CLIENT\r\n"), QByteArray("OK\r\n"));
    QVERIFY(atClock.elapsed() >= 2 * kLatencyMs);

    // A reply longer than a few bytes still comes in one piece at 115200 baud.
    link.latencyMs = 0;
    link.baud = kBaud115200;
    module->setLink(link);
    QCOMPARE(client.exchange(v1LoadAddress(0), 2), hex("1410"));
    QCOMPARE(client.exchange(v1ReadPage(128), 130).mid(1, 128), pattern(128, 1));
    QCOMPARE(client.pieces.size(), 1);
}

void VirtualModuleTest::pageWriteTimeDelaysTheReply()
{
    constexpr int kPageWriteMs = 150;
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    options.link.pageWriteUs = kPageWriteMs * 1000;
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QCOMPARE(client.exchange(v2ProgramPage(1, pattern(256, 1)), kShortFrameReply).size(),
             kShortFrameReply);
    QVERIFY(client.elapsedSinceSend() >= kPageWriteMs);
}

void VirtualModuleTest::faultSplitReplies_data()
{
    QTest::addColumn<int>("splitPieces");
    QTest::addColumn<int>("bridge");
    QTest::addColumn<int>("pieces"); // the segments the module sends
    QTest::newRow("split in three") << 3 << int(BridgeMode::Packed) << 3;
    QTest::newRow("bytes bridge") << 1 << int(BridgeMode::Bytes) << kSignOnReply;
}

void VirtualModuleTest::faultSplitReplies()
{
    QFETCH(int, splitPieces);
    QFETCH(int, bridge);
    QFETCH(int, pieces);
    constexpr int kGapMs = 60;
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    options.faults.splitPieces = splitPieces;
    options.faults.splitGapMs = kGapMs;
    options.link.bridge = BridgeMode(bridge);
    auto module = startModule(options);
    // Counted where they leave: the client's waits spin the loop only now
    // and then, so it may read several segments at once.
    int segments = 0;
    connect(module->findChild<SerialLink *>(), &SerialLink::toClient, this,
            [&segments] { ++segments; });
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QCOMPARE(client.exchange(v2SignOn(1), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(segments, pieces);
    if (splitPieces > 1) {
        QCOMPARE(client.pieces.size(), pieces);
        QVERIFY(client.pieceTimes.back() - client.pieceTimes.front() >= (pieces - 1) * kGapMs);
    }
    QCOMPARE(client.received, v2(1, hex("010008") + QByteArray("AVRISP_2")));
}

void VirtualModuleTest::faultShortAndLongReplies()
{
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    options.faults.shortReplyAt = 1;
    options.faults.longReplyAt = 2;
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    client.exchange(v2SignOn(1), kSignOnReply - 1);
    ModuleClient::settle();
    QCOMPARE(client.received.size(), kSignOnReply - 1);
    client.exchange(v2GetParameter(2, 0x90), kParameterReply + 1);
    ModuleClient::settle();
    QCOMPARE(client.received.size(), kParameterReply + 1);
    QCOMPARE(client.exchange(v2GetParameter(3, 0x91), kParameterReply).size(), kParameterReply);

    // The Uno's replies: 2 bytes become 1, 5 become 6.
    ModuleOptions uno = bootloaderOptions(BoardType::Uno);
    uno.address = QHostAddress(QStringLiteral("127.0.0.3"));
    uno.faults.shortReplyAt = 1;
    uno.faults.longReplyAt = 2;
    auto second = startModule(uno);
    ModuleClient unoClient(second.get());
    QVERIFY(unoClient.connectData());
    unoClient.exchange(hex("3020"), 1);
    ModuleClient::settle();
    QCOMPARE(unoClient.received, hex("14"));
    unoClient.exchange(hex("7520"), 6);
    ModuleClient::settle();
    QCOMPARE(unoClient.received, hex("141e950f1000"));
}

void VirtualModuleTest::faultNoReply()
{
    auto module = startModule(bootloaderOptions(BoardType::Uno, &FaultOptions::noReplyAt, 2));
    QSignalSpy commands(module.get(), &VirtualModule::commandReceived);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QCOMPARE(client.exchange(v1LoadAddress(64), 2), hex("1410"));
    // The page is written, only its answer is lost.
    client.exchange(v1ProgramPage(pattern(128, 2)), 2, 0);
    QVERIFY(client.staysSilent());
    QCOMPARE(commands.count(), 2);
    QCOMPARE(module->flash().mid(128, 128), pattern(128, 2));
    QCOMPARE(client.exchange(hex("3020"), 2), hex("1410"));
}

void VirtualModuleTest::faultCloseDataConnection()
{
    auto module = startModule(bootloaderOptions(BoardType::Mega, &FaultOptions::closeDataAt, 3));
    QSignalSpy gone(module.get(), &VirtualModule::dataDisconnected);
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    QCOMPARE(client.exchange(v2SignOn(1), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(client.exchange(v2LoadAddress(2, 0), kShortFrameReply).size(), kShortFrameReply);
    client.exchange(v2ProgramPage(3, pattern(256, 3)), kShortFrameReply, 0);
    QTRY_COMPARE_WITH_TIMEOUT(client.data.state(), QAbstractSocket::UnconnectedState,
                              ModuleClient::kWaitMs);
    QVERIFY(client.received.isEmpty());
    QCOMPARE(gone.count(), 1);

    // The board stays in its bootloader; a new client carries on.
    QVERIFY(module->inBootloader());
    ModuleClient again(module.get());
    QVERIFY(again.connectData());
    QCOMPARE(again.exchange(v2SignOn(4), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(module->counters().commandsSinceReset, 4);
}

void VirtualModuleTest::faultRefusedConnections()
{
    ModuleOptions options = quietOptions(BoardType::Mega);
    options.faults.refuseData = true;
    auto module = startModule(options);
    QVERIFY(module->dataPort() != 0);
    QVERIFY(module->announcement().contains(QByteArray::number(module->dataPort())));
    ModuleClient client(module.get());
    QVERIFY(!client.connectData());
    QCOMPARE(client.data.error(), QAbstractSocket::ConnectionRefusedError);
    QVERIFY(client.connectAt());

    ModuleOptions other = quietOptions(BoardType::Uno);
    other.address = QHostAddress(QStringLiteral("127.0.0.3"));
    other.faults.refuseAt = true;
    auto second = startModule(other);
    ModuleClient secondClient(second.get());
    QVERIFY(!secondClient.connectAt());
    QCOMPARE(secondClient.at.error(), QAbstractSocket::ConnectionRefusedError);
    QVERIFY(secondClient.connectData());

    // Switched off while running, the port listens again.
    FaultOptions faults = module->faults();
    faults.refuseData = false;
    module->setFaults(faults);
    ModuleClient later(module.get());
    QVERIFY(later.connectData());
}

void VirtualModuleTest::faultOneByteAtReply()
{
    ModuleOptions options = quietOptions(BoardType::Uno);
    options.faults.oneByteAtReply = true;
    auto module = startModule(options);
    ModuleClient client(module.get());
    QVERIFY(client.connectAt());
    QCOMPARE(client.atCommand("AT+U2W=CLIENT\r\n", 1), QByteArray("O"));
    ModuleClient::settle();
    QCOMPARE(client.atReceived, QByteArray("O"));
    QCOMPARE(client.atCommand("AT+MCUUPDATE=UNO", 1), QByteArray("O"));
    QVERIFY(module->inBootloader());
}

void VirtualModuleTest::faultStopAnnouncing()
{
    // Announcements to a private port, so no window hears them.
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
    constexpr int kIntervalMs = 100;
    constexpr int kStopAfterMs = 350;
    ModuleOptions options = quietOptions(BoardType::Mega);
    options.announceIntervalMs = kIntervalMs;
    options.announcePort = listener.localPort();
    options.faults.stopAnnouncingAfterMs = kStopAfterMs;
    auto module = startModule(options);
    QSignalSpy announced(module.get(), &VirtualModule::announced);
    QTest::qWait(kStopAfterMs + 3 * kIntervalMs);
    const int heard = announced.count() + 1; // the first went out inside start()
    // Four on time; a loaded machine may fire the interval timer late.
    QVERIFY2(heard >= 2 && heard <= 4, qPrintable(QString::number(heard)));
    QTest::qWait(3 * kIntervalMs);
    QCOMPARE(announced.count() + 1, heard);
    int datagrams = 0;
    while (listener.hasPendingDatagrams()) {
        QHostAddress sender;
        QByteArray datagram(int(listener.pendingDatagramSize()), 0);
        listener.readDatagram(datagram.data(), datagram.size(), &sender);
        QCOMPARE(sender.toString(), QStringLiteral("127.0.0.2"));
        ++datagrams;
    }
    QCOMPARE(datagrams, heard);
}

void VirtualModuleTest::faultSmallReceiveBuffer()
{
    // A page and three sync commands in one write: the syncs reach the chip
    // while it writes the page.
    const QByteArray pipelined
        = v1LoadAddress(0) + v1ProgramPage(pattern(128, 5)) + hex("302030203020");
    for (bool small : { false, true }) {
        auto module = startModule(
            bootloaderOptions(BoardType::Uno, &FaultOptions::smallReceiveBuffer, small));
        QSignalSpy lost(module.get(), &VirtualModule::bytesLost);
        ModuleClient client(module.get());
        QVERIFY(client.connectData());
        client.exchange(pipelined, 10, small ? 0 : ModuleClient::kWaitMs);
        ModuleClient::settle();
        if (small) {
            // Two bytes and the shift register survive: "30 20 30".
            QCOMPARE(client.received,
                     hex("1410"
                         "1410"
                         "1410"));
            QCOMPARE(module->counters().bytesLost, 3);
            QCOMPARE(lost.count(), 3);
        } else {
            QCOMPARE(client.received,
                     hex("1410"
                         "1410"
                         "141014101410"));
            QCOMPARE(module->counters().bytesLost, 0);
        }
        QCOMPARE(module->flash().left(128), pattern(128, 5));
    }
}

void VirtualModuleTest::faultCorruptPage()
{
    auto module = startModule(bootloaderOptions(BoardType::Uno, &FaultOptions::corruptPage, 1));
    ModuleClient client(module.get());
    QVERIFY(client.connectData());
    for (int page = 0; page < 3; ++page) {
        client.exchange(v1LoadAddress(quint16(page * 64)), 2);
        QCOMPARE(client.exchange(v1ProgramPage(pattern(128, page)), 2), hex("1410"));
    }
    client.exchange(v1LoadAddress(64), 2);
    const QByteArray read = client.exchange(v1ReadPage(128), 130).mid(1, 128);
    QByteArray expected = pattern(128, 1);
    expected[0] = char(expected.at(0) ^ 0x01);
    QCOMPARE(read, expected);
    QCOMPARE(module->flash().mid(128, 128), expected);
    QCOMPARE(module->flash().left(128), pattern(128, 0));
    QCOMPARE(module->flash().mid(256, 128), pattern(128, 2));
}

void VirtualModuleTest::newDataClientTakesOver()
{
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    auto module = startModule(options);
    ModuleClient first(module.get());
    ModuleClient second(module.get());
    QVERIFY(first.connectData());
    QCOMPARE(first.exchange(v2SignOn(1), kSignOnReply).size(), kSignOnReply);
    QVERIFY(second.connectData());
    QTRY_COMPARE_WITH_TIMEOUT(first.data.state(), QAbstractSocket::UnconnectedState,
                              ModuleClient::kWaitMs);
    QCOMPARE(second.exchange(v2SignOn(2), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(module->counters().dataConnections, 2);
}

void VirtualModuleTest::manyModulesInOneThread()
{
    constexpr int kModules = 32;
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    options.link.baud = kBaud115200;
    options.name = QStringLiteral("bench");
    ModuleGroup group;
    QString error;
    QVERIFY2(group.start(kModules, options, &error), qPrintable(error));
    QCOMPARE(group.count(), kModules);
    QCOMPARE(group.module(kModules - 1)->address().toString(), QStringLiteral("127.0.0.33"));
    QCOMPARE(group.module(4)->name(), QStringLiteral("bench-5"));
    QCOMPARE(group.find(QHostAddress(QStringLiteral("127.0.0.7"))), group.module(5));
    // A second group on taken addresses fails and leaves the first alone.
    QVERIFY(!group.start(2, options, &error));
    QVERIFY(error.contains(QStringLiteral("127.0.0.2")));
    QCOMPARE(group.count(), kModules);

    std::vector<std::unique_ptr<ModuleClient>> clients;
    for (VirtualModule *module : group.modules()) {
        clients.push_back(std::make_unique<ModuleClient>(module));
        QVERIFY(clients.back()->connectData());
    }
    // Every module gets its page at once; each answers for itself.
    for (int i = 0; i < kModules; ++i) {
        clients[size_t(i)]->clear();
        clients[size_t(i)]->data.write(v2ProgramPage(quint8(i), pattern(256, i)));
    }
    QVERIFY(QTest::qWaitFor(
        [&clients] {
            for (const auto &client : clients) {
                if (client->received.size() < kShortFrameReply)
                    return false;
            }
            return true;
        },
        ModuleClient::kWaitMs));
    for (int i = 0; i < kModules; ++i) {
        QCOMPARE(clients[size_t(i)]->received, v2(quint8(i), hex("1300")));
        QCOMPARE(group.module(i)->flash().left(256), pattern(256, i));
    }
}

void VirtualModuleTest::flashDumpAndInitialContent()
{
    ModuleOptions options = quietOptions(BoardType::Uno);
    options.initialFlash = hex("0c945c00");
    auto module = startModule(options);
    QCOMPARE(module->flashSize(), 32 * 1024);
    QCOMPARE(module->pageSize(), 128);
    QCOMPARE(module->flash().left(6), hex("0c945c00ffff"));
    const QString path = QDir::current().filePath(QStringLiteral("flash.bin"));
    QVERIFY(module->writeFlash(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), module->flash());
    QString error;
    QVERIFY(!module->writeFlash(QStringLiteral("/nonexistent/dir/flash.bin"), &error));
    QVERIFY(error.contains(QStringLiteral("/nonexistent/dir/flash.bin")));
}

void VirtualModuleTest::moduleThreadServesABlockingClient()
{
    // The test's thread blocks as an upload worker does; the modules answer
    // from their own thread.
    ModuleOptions options = bootloaderOptions(BoardType::Mega);
    ModuleThread modules;
    QString error;
    QVERIFY2(modules.start(2, options, &error), qPrintable(error));
    QCOMPARE(modules.count(), 2);
    QCOMPARE(modules.address(1).toString(), QStringLiteral("127.0.0.3"));
    FaultOptions faults;
    faults.shortReplyAt = 1;
    modules.setFaults(1, faults);

    QTcpSocket first;
    QVERIFY(connectTo(first, modules.address(0), modules.dataPort(0)));
    QCOMPARE(exchange(first, v2SignOn(1), kSignOnReply).size(), kSignOnReply);
    QCOMPARE(exchange(first, v2ProgramPage(2, pattern(256, 2)), kShortFrameReply),
             v2(2, hex("1300")));
    QCOMPARE(modules.flash(0).left(256), pattern(256, 2));
    QCOMPARE(modules.counters(0).pagesWritten, 1);

    QTcpSocket second;
    QVERIFY(connectTo(second, modules.address(1), modules.dataPort(1)));
    QCOMPARE(exchange(second, v2SignOn(1), kSignOnReply - 1).size(), kSignOnReply - 1);
    QVERIFY(!second.waitForReadyRead(ModuleClient::kSilenceMs));

    int pagesSeen = 0;
    modules.run(
        [&pagesSeen](ModuleGroup &group) { pagesSeen = group.module(1)->counters().pagesWritten; });
    QCOMPARE(pagesSeen, 0);
}

QTEST_GUILESS_MAIN(VirtualModuleTest)
#include "tst_virtualmodule.moc"
