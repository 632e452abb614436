// The emulated bootloaders and the flash, byte for byte, without sockets.
#include "atcommandparser.h"
#include "flash.h"
#include "stk500v1bootloader.h"
#include "stk500v2bootloader.h"
#include "stkframes.h"
#include "testkit.h"

#include <QtTest>

using namespace StkFrames;
using namespace TestKit;

namespace {
// Feeds bytes one at a time and collects every answer.
struct Fed
{
    QByteArray answer;
    QList<BootloaderReply> replies;
};

Fed feedAll(Bootloader &bootloader, const QByteArray &bytes)
{
    Fed fed;
    BootloaderReply reply;
    for (char c : bytes) {
        if (bootloader.feed(quint8(c), &reply)) {
            fed.answer += reply.bytes;
            fed.replies.append(reply);
        }
    }
    return fed;
}
} // namespace

class BootloadersTest : public QObject
{
    Q_OBJECT

private slots:
    void v1Answers_data();
    void v1Answers();
    void v1UploadLandsPagesAndErasesEachPage();
    void v1ReadsPagesBackAndEeprom();
    void v2Answers_data();
    void v2Answers();
    void v2UploadLandsPagesAboveTheFirst128KiB();
    void v2ErasesPageKOnItsKthProgramCommand();
    void v2ChecksumErrorsAndNoise();
    void flashProgramsAsRealFlash();
    void atCommands_data();
    void atCommands();
};

void BootloadersTest::v1Answers_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("get sync") << hex("3020") << hex("1410");
    QTest::newRow("parameter hw") << hex("418020") << hex("140210");
    QTest::newRow("parameter topcard") << hex("419820") << hex("14ff10");
    QTest::newRow("parameter sck") << hex("418920") << hex("140010");
    QTest::newRow("set device") << v1SetDevice() << hex("1410");
    QTest::newRow("set device ext") << hex("450504d7c20020") << hex("1410");
    QTest::newRow("enter progmode") << hex("5020") << hex("1410");
    QTest::newRow("read signature") << hex("7520") << hex("141e950f10");
    QTest::newRow("universal eeprom read") << hex("56a003fc0020") << hex("14ff10");
    QTest::newRow("universal signature") << hex("563000010020") << hex("149510");
    QTest::newRow("load address") << hex("55400020") << hex("1410");
    QTest::newRow("leave progmode") << hex("5120") << hex("1410");
    QTest::newRow("sign on") << hex("3120") << hex("14") + QByteArray("AVR STK") + hex("10");
    QTest::newRow("missing end byte") << hex("3021") << hex("15");
    QTest::newRow("unknown command") << hex("9920") << hex("12");
    QTest::newRow("three syncs at once") << hex("302030203020") << hex("141014101410");
}

void BootloadersTest::v1Answers()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    Flash flash(boardTraits(BoardKind::Uno).flashBytes, boardTraits(BoardKind::Uno).pageBytes);
    Stk500v1Bootloader bootloader(boardTraits(BoardKind::Uno), flash);
    QCOMPARE(feedAll(bootloader, command).answer.toHex(' '), answer.toHex(' '));
}

void BootloadersTest::v1UploadLandsPagesAndErasesEachPage()
{
    const BoardTraits &part = boardTraits(BoardKind::Uno);
    Flash flash(part.flashBytes, part.pageBytes);
    // Old content everywhere: pages must not come out as old AND new.
    flash.setContents(QByteArray(part.flashBytes, char(0x5A)));
    Stk500v1Bootloader bootloader(part, flash);

    // The upload worker's example: 200 bytes as a full page and a 72-byte page.
    const QByteArray image = pattern(200, 1);
    const QByteArray upload = v1LoadAddress(0) + v1ProgramPage(image.left(128)) + v1LoadAddress(64)
        + v1ProgramPage(image.mid(128)) + hex("5120");
    const Fed fed = feedAll(bootloader, upload);
    QCOMPARE(fed.answer, hex("14101410141014101410"));
    QCOMPARE(fed.replies.size(), 5);
    QCOMPARE(fed.replies.at(1).writtenAddress, 0);
    QCOMPARE(fed.replies.at(1).writtenLength, 128);
    QCOMPARE(fed.replies.at(1).busyNs, part.pageWriteNs);
    QCOMPARE(fed.replies.at(3).writtenAddress, 128);
    QCOMPARE(fed.replies.at(0).busyNs, qint64(0));
    QVERIFY(fed.replies.at(4).leavesBootloader);

    QCOMPARE(flash.read(0, 200), image);
    // The short page was erased before it was written: the rest reads 0xFF.
    QCOMPARE(flash.read(200, 56), QByteArray(56, char(0xFF)));
    QCOMPARE(flash.read(256, 16), QByteArray(16, char(0x5A)));

    // Page k of a long image goes to byte 128 k, also the last one.
    const quint16 lastWord = quint16((part.flashBytes - part.pageBytes) / 2);
    feedAll(bootloader, v1LoadAddress(lastWord) + v1ProgramPage(pattern(128, 9)));
    QCOMPARE(flash.read(quint32(part.flashBytes - 128), 128), pattern(128, 9));
}

void BootloadersTest::v1ReadsPagesBackAndEeprom()
{
    const BoardTraits &part = boardTraits(BoardKind::Uno);
    Flash flash(part.flashBytes, part.pageBytes);
    Stk500v1Bootloader bootloader(part, flash);
    feedAll(bootloader, v1LoadAddress(64) + v1ProgramPage(pattern(128, 3)));
    const Fed read = feedAll(bootloader, v1LoadAddress(64) + v1ReadPage(128));
    QCOMPARE(read.answer, hex("1410") + hex("14") + pattern(128, 3) + hex("10"));

    // EEPROM pages use byte addresses and do not touch the flash.
    const QByteArray before = flash.bytes();
    const QByteArray eeprom = hex("0102030405");
    feedAll(bootloader, hex("55100020") + hex("640005") + QByteArray("E") + eeprom + hex("20"));
    QCOMPARE(bootloader.eeprom().mid(0x10, 5), eeprom);
    QCOMPARE(flash.bytes(), before);
    QCOMPARE(feedAll(bootloader, hex("56a000120020")).answer, hex("140310"));
}

void BootloadersTest::v2Answers_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("length"); // the reply length the uploader counts, -1: none

    QTest::newRow("sign on, 17 bytes")
        << hex("1b0100010e0114")
        << v2(1, hex("010008") + QByteArray(Stk500v2Bootloader::kSignOnName)) << 17;
    QTest::newRow("hw version, 9 bytes") << v2GetParameter(2, 0x90) << v2(2, hex("03000f")) << 9;
    QTest::newRow("sw major") << v2GetParameter(3, 0x91) << v2(3, hex("030002")) << -1;
    QTest::newRow("sw minor") << v2GetParameter(4, 0x92) << v2(4, hex("03000a")) << -1;
    QTest::newRow("vtarget") << v2GetParameter(5, 0x94) << v2(5, hex("030032")) << -1;
    QTest::newRow("enter, 8 bytes") << v2Enter(6) << v2(6, hex("1000")) << 8;
    QTest::newRow("signature 0, 13 bytes")
        << v2Signature(7, 0) << v2(7, hex("1d000030001e00")) << 13;
    QTest::newRow("signature 1") << v2Signature(8, 1) << v2(8, hex("1d000030009800")) << -1;
    QTest::newRow("signature 2") << v2Signature(9, 2) << v2(9, hex("1d000030000100")) << -1;
    QTest::newRow("load address, 8 bytes")
        << hex("1b0e00050e068000010099") << v2(14, hex("0600")) << 8;
    QTest::newRow("program page, 8 bytes")
        << v2ProgramPage(11, pattern(256, 0)) << v2(11, hex("1300")) << 8;
    QTest::newRow("leave, 8 bytes") << v2Leave(12) << v2(12, hex("1100")) << 8;
    QTest::newRow("chip erase fails") << v2(20, hex("120a00ac800000")) << v2(20, hex("12c0")) << -1;
    QTest::newRow("read signature isp")
        << v2(21, hex("1b0030000100")) << v2(21, hex("1b009800")) << -1;
    QTest::newRow("set parameter") << v2(22, hex("029e01")) << v2(22, hex("0200")) << -1;
    QTest::newRow("unknown command") << v2(23, hex("77")) << v2(23, hex("77c9")) << -1;
    QTest::newRow("sequence 255 echoed")
        << v2SignOn(255) << v2(255, hex("010008") + QByteArray("AVRISP_2")) << -1;
}

void BootloadersTest::v2Answers()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    Flash flash(boardTraits(BoardKind::Mega).flashBytes, boardTraits(BoardKind::Mega).pageBytes);
    Stk500v2Bootloader bootloader(boardTraits(BoardKind::Mega), flash);
    QCOMPARE(feedAll(bootloader, command).answer.toHex(' '), answer.toHex(' '));
    QFETCH(int, length);
    if (length >= 0)
        QCOMPARE(answer.size(), length);
    // The checksum is the XOR of every byte before it.
    quint8 sum = 0;
    for (char c : answer)
        sum ^= quint8(c);
    QCOMPARE(sum, quint8(0));
}

void BootloadersTest::v2UploadLandsPagesAboveTheFirst128KiB()
{
    const BoardTraits &part = boardTraits(BoardKind::Mega);
    Flash flash(part.flashBytes, part.pageBytes);
    Stk500v2Bootloader bootloader(part, flash);

    // 600 pages from address 0: pages 512 and up need the extended byte.
    constexpr int kPages = 600;
    quint8 sequence = 10;
    QByteArray expected;
    for (int page = 0; page < kPages; ++page) {
        const QByteArray data = pattern(256, page);
        expected += data;
        const Fed fed = feedAll(bootloader,
                                v2LoadAddress(sequence, quint32(page) * 128)
                                    + v2ProgramPage(quint8(sequence + 1), data));
        QCOMPARE(fed.answer, v2(sequence, hex("0600")) + v2(quint8(sequence + 1), hex("1300")));
        QCOMPARE(fed.replies.at(1).writtenAddress, page * 256);
        QCOMPARE(fed.replies.at(1).busyNs, part.pageWriteNs);
        sequence = quint8(sequence + 2);
    }
    QCOMPARE(flash.read(0, kPages * 256), expected);
    QCOMPARE(flash.read(kPages * 256, 256), QByteArray(256, char(0xFF)));

    // Reading back from above 128 KiB: address then READ_FLASH_ISP.
    const Fed read = feedAll(bootloader, v2LoadAddress(1, 0x10000 + 128) + v2ReadFlash(2, 256));
    QCOMPARE(read.answer, v2(1, hex("0600")) + v2(2, hex("1400") + pattern(256, 513) + hex("00")));

    // Without bit 31 the extended byte stays what was loaded last.
    const Fed again = feedAll(bootloader, v2(3, hex("0600000080")) + v2ReadFlash(4, 256));
    QCOMPARE(again.answer.mid(8 + 7, 256), pattern(256, 513));
}

void BootloadersTest::v2ErasesPageKOnItsKthProgramCommand()
{
    const BoardTraits &part = boardTraits(BoardKind::Mega);
    Flash flash(part.flashBytes, part.pageBytes);
    const QByteArray old(4 * 256, char(0x0F));
    flash.setContents(old);
    Stk500v2Bootloader bootloader(part, flash);

    // An uploader that skips page 1: its second program command (for page 2)
    // erases page 1, and page 2 is programmed over its old content.
    const QByteArray page0 = QByteArray(256, char(0xF5));
    const QByteArray page2 = QByteArray(256, char(0x3C));
    feedAll(bootloader,
            v2LoadAddress(1, 0) + v2ProgramPage(2, page0) + v2LoadAddress(3, 256)
                + v2ProgramPage(4, page2));
    QCOMPARE(flash.read(0, 256), page0);
    QCOMPARE(flash.read(256, 256), QByteArray(256, char(0xFF)));
    QCOMPARE(flash.read(512, 256), QByteArray(256, char(0x3C & 0x0F)));
    QCOMPARE(flash.read(768, 256), QByteArray(256, char(0x0F)));

    // After a reset the count starts again at page 0.
    bootloader.reset();
    feedAll(bootloader, v2LoadAddress(1, 128) + v2ProgramPage(2, QByteArray(256, char(0x11))));
    QCOMPARE(flash.read(0, 256), QByteArray(256, char(0xFF)));
    QCOMPARE(flash.read(256, 256), QByteArray(256, char(0x11)));
}

void BootloadersTest::v2ChecksumErrorsAndNoise()
{
    Flash flash(boardTraits(BoardKind::Mega).flashBytes, boardTraits(BoardKind::Mega).pageBytes);
    Stk500v2Bootloader bootloader(boardTraits(BoardKind::Mega), flash);

    QByteArray broken = v2SignOn(5);
    broken[broken.size() - 1] = char(broken.back() ^ 0x01);
    QCOMPARE(feedAll(bootloader, broken).answer, v2(5, hex("b0c1")));

    // Noise before a frame, a frame with a wrong token and one with an
    // impossible size are passed over; the next good frame is answered.
    const QByteArray noise = hex("00ff1410") + hex("1b0100010f0114") + hex("1b01ffff0e");
    const Fed fed = feedAll(bootloader, noise + v2SignOn(6));
    QCOMPARE(fed.replies.size(), 1);
    QCOMPARE(fed.answer.size(), kSignOnReply);
    QCOMPARE(quint8(fed.answer.at(1)), quint8(6));

    // A reset forgets a half-received frame.
    feedAll(bootloader, v2SignOn(7).left(4));
    bootloader.reset();
    QCOMPARE(feedAll(bootloader, v2SignOn(8)).answer.size(), kSignOnReply);
}

void BootloadersTest::flashProgramsAsRealFlash()
{
    Flash flash(1024, 128);
    flash.program(0, hex("f0f0"));
    flash.program(0, hex("3cff"));
    QCOMPARE(flash.read(0, 2), hex("30f0"));
    flash.erasePage(0);
    QCOMPARE(flash.read(0, 2), hex("ffff"));
    // Addresses wrap at the end of the flash.
    flash.program(1023, hex("1122"));
    QCOMPARE(flash.read(1023, 2), hex("1122"));
    // A faulty cell in page 2 flips the lowest bit of the page's first byte.
    flash.setCorruptPage(2);
    flash.program(256, hex("a0a1"));
    QCOMPARE(flash.read(256, 2), hex("a1a1"));
    flash.program(512, hex("00"));
    QCOMPARE(flash.at(512), quint8(0));
    // Out-of-range pages are ignored; contents are cut or padded.
    flash.erasePage(-1);
    flash.erasePage(8);
    flash.setContents(QByteArray(2000, char(0x12)));
    QCOMPARE(flash.size(), 1024);
    flash.setContents(hex("99"));
    QCOMPARE(flash.read(0, 2), hex("99ff"));
}

void BootloadersTest::atCommands_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("expected"); // kind:text after the chunks, then after a flush

    QTest::newRow("handshake with line end")
        << QByteArrayList { "AT+U2W=CLIENT\r\n" } << QStringList { "client:AT+U2W=CLIENT" };
    QTest::newRow("handshake in one packet")
        << QByteArrayList { "AT+U2W=CLIENT\r\nAT+MCUUPDATE=UNO" }
        << QStringList { "client:AT+U2W=CLIENT", "uno:AT+MCUUPDATE=UNO" };
    QTest::newRow("command in pieces") << QByteArrayList { "AT+MCUUPD", "ATE=ME", "GA" }
                                       << QStringList { "mega:AT+MCUUPDATE=MEGA" };
    QTest::newRow("name without line end")
        << QByteArrayList { "AT+HOSTNAME=kitchen" } << QStringList { "|", "name:kitchen" };
    QTest::newRow("name with line end")
        << QByteArrayList { "AT+HOSTNAME=lab 2\r\n" } << QStringList { "name:lab 2" };
    QTest::newRow("name then command") << QByteArrayList { "AT+HOSTNAME=abcAT+U2W=CLIENT" }
                                       << QStringList { "name:abc", "client:AT+U2W=CLIENT" };
    QTest::newRow("empty name") << QByteArrayList { "AT+HOSTNAME=" }
                                << QStringList { "|", "name:" };
    QTest::newRow("unknown line") << QByteArrayList { "HELLO\r\nAT+MCUUPDATE=MEGA" }
                                  << QStringList { "unknown:HELLO", "mega:AT+MCUUPDATE=MEGA" };
    QTest::newRow("unfinished command at flush")
        << QByteArrayList { "AT+MCU" } << QStringList { "|", "unknown:AT+MCU" };
}

void BootloadersTest::atCommands()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, expected);
    const auto describe = [](const QList<AtCommandParser::Command> &commands) {
        QStringList out;
        for (const AtCommandParser::Command &c : commands) {
            switch (c.kind) {
            case AtCommandParser::Kind::Client:
                out << "client:" + c.text;
                break;
            case AtCommandParser::Kind::UpdateUno:
                out << "uno:" + c.text;
                break;
            case AtCommandParser::Kind::UpdateMega:
                out << "mega:" + c.text;
                break;
            case AtCommandParser::Kind::Hostname:
                out << "name:" + c.argument;
                break;
            case AtCommandParser::Kind::Unknown:
                out << "unknown:" + c.text;
                break;
            }
        }
        return out;
    };
    AtCommandParser parser;
    QStringList seen;
    for (const QByteArray &chunk : chunks) {
        parser.append(chunk);
        seen << describe(parser.take(false));
    }
    seen << "|";
    seen << describe(parser.take(true));
    if (!expected.contains("|"))
        expected << "|";
    QCOMPARE(seen, expected);
    QVERIFY(!parser.hasPending());
}

QTEST_GUILESS_MAIN(BootloadersTest)
#include "tst_bootloaders.moc"
