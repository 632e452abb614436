#include "fakedevices.h"
#include "testkit.h"
#include "upload/moduleopen.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/stkstep.h"

#include <QtTest>

using TestKit::hex;

Q_DECLARE_METATYPE(StkCommand)

class StkProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void programFlashFrame();
    void programPageCommand();
    void replyRule_data();
    void replyRule();
    void transactWritesThenJudges();
    void drainKeepsItsTail();
};

void StkProtocolTest::commands_data()
{
    QTest::addColumn<StkCommand>("command");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("tries");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<QByteArray>("replyLabel");
    QTest::addColumn<QByteArray>("sendLabel");

    const QByteArray none;
    // Version 2: whole frames with their sequence number and XOR checksum.
    QTest::newRow("v2 sign-on") << stk500v2::signOn(1) << hex("1B0100010E0114") << 17 << 5 << 3000
                                << QByteArray("read send_sign_on reply =") << none;
    QTest::newRow("v2 hw version") << stk500v2::getParameter(2, 0x90) << hex("1B0200020E039086")
                                   << 9 << 5 << 3000 << none << none;
    QTest::newRow("v2 vtarget") << stk500v2::getParameter(5, 0x94) << hex("1B0500020E039485") << 9
                                << 5 << 3000 << none << none;
    QTest::newRow("v2 enter") << stk500v2::enterProgMode(6)
                              << hex("1B06000C0E10C86419200053 03AC53000035") << 8 << 5 << 3000
                              << none << none;
    QTest::newRow("v2 signature 2")
        << stk500v2::readSignature(9, 2) << hex("1B0900080E1D0404003000 02003B") << 13 << 5 << 3000
        << QByteArray("read send stk500 multi =") << none;
    QTest::newRow("v2 address page 2")
        << stk500v2::loadAddress(14, 0x100) << hex("1B0E00050E0680000100 99") << 8 << 5 << 3000
        << QByteArray("read send_mtk_header_ reply =") << none;
    QTest::newRow("v2 address past 128 KiB")
        << stk500v2::loadAddress(10, 0x10000) << hex("1B0A00050E06800100009D") << 8 << 5 << 3000
        << QByteArray("read send_mtk_header_ reply =") << none;
    QTest::newRow("v2 leave") << stk500v2::leaveProgMode(12) << hex("1B0C00030E1101010B") << 8 << 5
                              << 3000 << none << none;
    QTest::newRow("v2 leave, sequence 255")
        << stk500v2::leaveProgMode(255) << hex("1BFF00030E110101F8") << 8 << 5 << 3000 << none
        << none;
    // A read fails within the bound a write does.
    QTest::newRow("v2 read flash") << stk500v2::readFlash(5, 256) << hex("1B0500040E1401002021")
                                   << 265 << 5 << 3000 << QByteArray("read flash reply =") << none;

    // Version 1: command, parameters, Sync_CRC_EOP.
    QTest::newRow("v1 sync") << stk500v1::getSync() << hex("3020") << 2 << 5 << 3000
                             << QByteArray("read hello reply 1=") << none;
    QTest::newRow("v1 parameter 0x98") << stk500v1::getParameter(0x98) << hex("419820") << 3 << 5
                                       << 3000 << QByteArray("read send_A reply =") << none;
    QTest::newRow("v1 set device")
        << stk500v1::setDevice() << hex("42860000010101010 3FFFFFFFF0080040000008000 20") << 2 << 5
        << 3000 << QByteArray("read send_B reply 1=") << none;
    QTest::newRow("v1 set device ext") << stk500v1::setDeviceExt() << hex("450504D7C20020") << 2
                                       << 5 << 3000 << QByteArray("read send_e reply 1=") << none;
    QTest::newRow("v1 enter") << stk500v1::enterProgMode() << hex("5020") << 2 << 5 << 3000
                              << QByteArray("read send_p reply =") << none;
    QTest::newRow("v1 signature") << stk500v1::readSignature() << hex("7520") << 5 << 5 << 3000
                                  << QByteArray("read send_u reply =") << none;
    QTest::newRow("v1 universal FD") << stk500v1::universalReadEeprom(0xFD) << hex("56A003FD0020")
                                     << 3 << 5 << 3000 << none << QByteArray("send v data =");
    QTest::newRow("v1 address page 0") << stk500v1::loadAddress(0) << hex("55000020") << 2 << 5
                                       << 3000 << QByteArray("send header lenght =") << none;
    QTest::newRow("v1 address page 1") << stk500v1::loadAddress(0x40) << hex("55400020") << 2 << 5
                                       << 3000 << QByteArray("send header lenght =") << none;
    QTest::newRow("v1 address page 4") << stk500v1::loadAddress(0x100) << hex("55000120") << 2 << 5
                                       << 3000 << QByteArray("send header lenght =") << none;
    QTest::newRow("v1 address page 255") << stk500v1::loadAddress(255 * 64) << hex("55C03F20") << 2
                                         << 5 << 3000 << QByteArray("send header lenght =") << none;
    QTest::newRow("v1 program 1 byte")
        << stk500v1::programPage(hex("AB")) << hex("64000146AB20") << 2 << 10 << 3000
        << QByteArray("send data lenght =") << none;
    QTest::newRow("v1 leave") << stk500v1::leaveProgMode() << hex("5120") << 2 << 5 << 30000
                              << QByteArray("read send_q reply =") << none;
    QTest::newRow("v1 read page") << stk500v1::readPage(128) << hex("7400804620") << 130 << 5
                                  << 3000 << QByteArray("read page reply =") << none;
}

void StkProtocolTest::commands()
{
    QFETCH(StkCommand, command);
    QFETCH(QByteArray, bytes);
    QCOMPARE(command.bytes.toHex(' '), bytes.toHex(' '));
    QTEST(command.expected, "expected");
    QTEST(command.tries, "tries");
    QTEST(command.waitMs, "waitMs");
    QTEST(QByteArray(command.replyLabel), "replyLabel");
    QTEST(QByteArray(command.sendLabel), "sendLabel");
}

void StkProtocolTest::programFlashFrame()
{
    QByteArray page(256, '\0');
    for (int i = 0; i < page.size(); ++i)
        page[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    const QByteArray frame = stk500v2::programFlash(11, page).bytes;
    QCOMPARE(frame.size(), 272);
    QCOMPARE(frame.left(15).toHex(' '), hex("1B0B010A0E130100C10A404C200000").toHex(' '));
    QCOMPARE(frame.mid(15, 256), page);
    QCOMPARE(static_cast<quint8>(frame.at(271)), static_cast<quint8>(0xE0));
    QCOMPARE(static_cast<quint8>(frame.at(271)), stk500v2::checksum(frame.left(271)));

    // A short last page goes out as a full page, filled up with erased flash.
    const QByteArray shortFrame = stk500v2::programFlash(11, hex("AB")).bytes;
    QCOMPARE(shortFrame.size(), 272);
    QCOMPARE(shortFrame.mid(15, 1), hex("AB"));
    QCOMPARE(shortFrame.mid(16, 255), QByteArray(255, '\xFF'));
    QCOMPARE(static_cast<quint8>(shortFrame.at(271)), static_cast<quint8>(0xB4));
}

void StkProtocolTest::programPageCommand()
{
    // A full page: 4 header bytes, 128 data bytes, the end byte.
    const QByteArray data(128, '\x5A');
    const QByteArray bytes = stk500v1::programPage(data).bytes;
    QCOMPARE(bytes.size(), 133);
    QCOMPARE(bytes.left(4), hex("64008046"));
    QCOMPARE(bytes.mid(4, 128), data);
    QCOMPARE(bytes.right(1), hex("20"));
    // A short last page keeps its true length.
    QCOMPARE(stk500v1::programPage(QByteArray(72, '\x01')).bytes.left(4), hex("64004846"));
    QCOMPARE(stk500v1::programPage(QByteArray(72, '\x01')).bytes.size(), 77);
}

void StkProtocolTest::replyRule_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("tries");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("waits");
    QTest::addColumn<QList<qint64>>("reads");

    using Pieces = QList<QByteArray>;
    using Reads = QList<qint64>;
    QTest::newRow("whole") << Pieces { "abcdefgh" } << 8 << 5 << true << 1 << Reads { 8 };
    QTest::newRow("in three pieces")
        << Pieces { "ab", "cde", "fgh" } << 8 << 5 << true << 3 << Reads { 2, 3, 3 };
    // Pieces are no tries: only waits that bring nothing use them up.
    QTest::newRow("never whole") << Pieces { "ab", "cde" } << 8 << 2 << false << 4
                                 << Reads { 2, 3 };
    QTest::newRow("one byte at a time") << Pieces { "a", "b", "c", "d", "e", "f", "g", "h" } << 8
                                        << 2 << true << 8 << Reads { 1, 1, 1, 1, 1, 1, 1, 1 };
    QTest::newRow("one byte short: every try used")
        << Pieces { "abcdefg" } << 8 << 5 << false << 6 << Reads { 7 };
    // More than expected fails at once; the surplus is read for the judging.
    QTest::newRow("one byte long")
        << Pieces { "abcdefghi" } << 8 << 5 << false << 1 << Reads { 8, 1 };
    QTest::newRow("long in pieces")
        << Pieces { "abcd", "efghi" } << 8 << 5 << false << 2 << Reads { 4, 4, 1 };
    QTest::newRow("nothing") << Pieces {} << 2 << 10 << false << 10 << Reads {};
    // At most 100 bytes a read: a 150-byte reply needs two tries, buffered data no wait.
    QTest::newRow("150 bytes, two tries")
        << Pieces { QByteArray(150, 'x') } << 150 << 2 << true << 1 << Reads { 100, 50 };
    QTest::newRow("150 bytes, one try")
        << Pieces { QByteArray(150, 'x') } << 150 << 1 << true << 1 << Reads { 100, 50 };
}

void StkProtocolTest::replyRule()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, expected);
    QFETCH(int, tries);
    constexpr int kWaitMs = 7;

    PieceDevice device(pieces);
    QByteArray reply;
    QTEST(collectReply(&device, expected, tries, kWaitMs, "label =", QByteArray(), &reply),
          "accepted");
    QTEST(device.waits.size(), "waits");
    for (int wait : qAsConst(device.waits))
        QCOMPARE(wait, kWaitMs);
    // Reads of nothing may or may not reach the device; only the ones that gave count.
    QList<qint64> reads;
    for (qint64 size : qAsConst(device.readSizes))
        if (size > 0)
            reads << size;
    QTEST(reads, "reads");
    QCOMPARE(reply, pieces.isEmpty() ? QByteArray() : pieces.join().left(reply.size()));
}

void StkProtocolTest::transactWritesThenJudges()
{
    const QByteArray signOn = stk500v2::frame(1, hex("0100 08") + "AVRISP_2");
    PieceDevice device({ signOn });
    const StepResult result = transact(&device, stk500v2::signOn(1));
    QVERIFY2(result.ok, qPrintable(result.reason));
    QCOMPARE(device.written, hex("1B0100010E0114"));
    QCOMPARE(result.reply, signOn);

    // Two sync replies at once total 4 and fail the first sync.
    PieceDevice doubled({ hex("14101410") });
    QVERIFY(!transact(&doubled, stk500v1::getSync()).ok);
    QCOMPARE(doubled.written, hex("3020"));

    // A stray byte ahead of the reply spoils it.
    PieceDevice stray({ hex("10"), hex("1410") });
    QVERIFY(!transact(&stray, stk500v1::getSync()).ok);

    // Commands written together: each reply ends at its own length, a byte at a time.
    PieceDevice pair({ hex("14"), hex("10"), hex("14"), hex("10") });
    const QList<StepResult> results = transactTogether(
        &pair, { stk500v1::loadAddress(0x40), stk500v1::programPage(hex("AB")) });
    QCOMPARE(pair.written, hex("55400020 64000146AB20"));
    QCOMPARE(results.size(), 2);
    QVERIFY(results.at(0).ok && results.at(1).ok);
}

void StkProtocolTest::drainKeepsItsTail()
{
    // A data port that floods while the board is reset: the newest bytes
    // stay for diagnostics, however much came.
    QList<QByteArray> flood;
    for (int piece = 0; piece < 500; ++piece)
        flood << TestKit::pattern(1000, piece);
    PieceDevice device(flood);
    QCOMPARE(drainResetOutput(&device), flood.join().right(kDrainTailBytes));
}

QTEST_GUILESS_MAIN(StkProtocolTest)
#include "tst_stkprotocol.moc"
