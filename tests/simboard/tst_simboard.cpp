// The simulated boards themselves: HEX reading, bootloader placement, the
// bootloaders' first answers, reset causes, UART flow control, the test
// programs, several boards in one process.
#include "boardfiles.h"
#include "boardlink.h"
#include "intelhex.h"
#include "simulatedboard.h"
#include "stkframes.h"
#include "stkwriter.h"
#include "testkit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

#include <vector>

using namespace StkFrames;

Q_DECLARE_METATYPE(HexContents)
Q_DECLARE_METATYPE(BoardKind)

using TestKit::kErased;

namespace {
constexpr quint32 kUnoBootStart = 0x7E00;
constexpr quint32 kMegaBootStart = 0x3E000;
constexpr int kUnoBootSectionBytes = 512;
constexpr int kVersionWordBytes = 2;
constexpr int kProbeBytes = 8;
// Long enough for a byte to be answered if the bootloader were listening.
constexpr int kSilenceMs = 500;
constexpr int kSyncBurstCount = 300;
constexpr int kSignOnBurstCount = 60;
constexpr int kBurstTimeoutMs = 10000;
constexpr int kBoardsAtOnce = 4;
constexpr int kLinesEachBoard = 2;
constexpr int kManyBoardsTimeoutMs = 15000;
// The pacing may run ahead of the wall clock by at most about one slice.
constexpr double kPacingSlackSeconds = 0.05;

QByteArray record(quint8 type, quint16 address, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(payload.size()));
    bytes.append(static_cast<char>(address >> 8));
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(payload);
    quint8 sum = 0;
    for (char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes.append(static_cast<char>(-sum));
    return ':' + bytes.toHex().toUpper() + '\n';
}

const QByteArray kEof = record(0x01, 0, QByteArray());

HexContents chunksOf(std::initializer_list<HexChunk> chunks)
{
    HexContents contents;
    contents.chunks = QVector<HexChunk>(chunks);
    return contents;
}

QString describe(const HexContents &contents)
{
    QStringList parts;
    for (const HexChunk &chunk : contents.chunks)
        parts << QStringLiteral("%1:%2")
                     .arg(chunk.address, 0, 16)
                     .arg(QString::fromLatin1(chunk.data.toHex()));
    return parts.join(QLatin1Char(' '));
}
} // namespace

class SimulatedBoardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hexFiles_data();
    void hexFiles();
    void bootloaderPlacement();
    void bootloadersAnswerTheirFirstCommand_data();
    void bootloadersAnswerTheirFirstCommand();
    void optibootListensOnlyAfterAnExternalReset();
    void megaBootloaderHandsOverToTheProgram();
    void flowControlKeepsEveryByte();
    void sketchesRunFromFlash_data();
    void sketchesRunFromFlash();
    void severalBoardsInOneProcess();
};

void SimulatedBoardTest::initTestCase()
{
    if (!BoardFiles::missing().isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs ") + BoardFiles::missing()));
}

void SimulatedBoardTest::hexFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<HexContents>("expected");
    QTest::addColumn<QString>("error");

    const QByteArray abc = QByteArray("abc");
    QTest::newRow("one record") << record(0, 0x0100, abc) + kEof << chunksOf({ { 0x100, abc } })
                                << QString();
    QTest::newRow("adjacent records merge") << record(0, 0, "ab") + record(0, 2, "cd") + kEof
                                            << chunksOf({ { 0, "abcd" } }) << QString();
    QTest::newRow("gap makes two chunks, sorted")
        << record(0, 0x10, "cd") + record(0, 0, "ab") + kEof
        << chunksOf({ { 0, "ab" }, { 0x10, "cd" } }) << QString();
    QTest::newRow("extended segment address (MEGA bootloader)")
        << record(2, 0, QByteArray::fromHex("3000")) + record(0, 0xE000, abc) + kEof
        << chunksOf({ { 0x3E000, abc } }) << QString();
    QTest::newRow("extended linear address")
        << record(4, 0, QByteArray::fromHex("0001")) + record(0, 0x0010, abc) + kEof
        << chunksOf({ { 0x10010, abc } }) << QString();
    QTest::newRow("start addresses ignored") << record(3, 0, QByteArray::fromHex("00007c00"))
            + record(5, 0, QByteArray::fromHex("00000000")) + record(0, 0, abc) + kEof
                                             << chunksOf({ { 0, abc } }) << QString();
    QTest::newRow("later record wins an overlap") << record(0, 0, "abcd") + record(0, 2, "XY")
            + kEof << chunksOf({ { 0, "abXY" } }) << QString();
    QTest::newRow("CRLF and blank lines")
        << QByteArray(record(0, 0, abc) + "\n" + kEof).replace("\n", "\r\n")
        << chunksOf({ { 0, abc } }) << QString();
    QTest::newRow("nothing after the end record is read") << record(0, 0, abc) + kEof + "garbage\n"
                                                          << chunksOf({ { 0, abc } }) << QString();

    QByteArray badSum = record(0, 0, abc);
    badSum[badSum.size() - 2] = badSum.at(badSum.size() - 2) == '0' ? '1' : '0';
    QTest::newRow("bad checksum") << badSum + kEof << HexContents() << "line 1: checksum mismatch";
    QTest::newRow("no colon") << QByteArray("0300000061626331\n") + kEof << HexContents()
                              << "line 1: does not start with ':'";
    QTest::newRow("odd digits") << QByteArray(":0300000061626\n") + kEof << HexContents()
                                << "line 1: is not a record";
    QTest::newRow("count does not match") << QByteArray(":0400000061626331\n")
            + kEof << HexContents() << "line 1: length does not match its count";
    QTest::newRow("unknown type") << record(7, 0, abc) + kEof << HexContents()
                                  << "line 1: unknown record type";
    QTest::newRow("no end record") << record(0, 0, abc) << HexContents() << "no end-of-file record";
}

void SimulatedBoardTest::hexFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(HexContents, expected);
    QFETCH(QString, error);

    const HexContents contents = parseIntelHex(text);
    QCOMPARE(contents.error, error);
    if (error.isEmpty())
        QCOMPARE(describe(contents), describe(expected));
}

void SimulatedBoardTest::bootloaderPlacement()
{
    const QString optiboot = BoardFiles::bootloaderHex(BoardKind::Uno);
    const QString stk500v2 = BoardFiles::bootloaderHex(BoardKind::Mega);
    const BoardTraits &unoTraits = boardTraits(BoardKind::Uno);
    const BoardTraits &megaTraits = boardTraits(BoardKind::Mega);
    QCOMPARE(unoTraits.bootStart, kUnoBootStart);
    QCOMPARE(megaTraits.bootStart, kMegaBootStart);

    // optiboot as built here fits the UNO's 512-byte section, its version
    // word at the very end of the flash.
    const HexContents built = readIntelHexFile(optiboot);
    QVERIFY2(built.ok(), qPrintable(built.error));
    const QByteArray code = built.chunks.first().data;
    QCOMPARE(built.chunks.first().address, kUnoBootStart);
    QVERIFY(code.size() <= kUnoBootSectionBytes - kVersionWordBytes);
    QCOMPARE(built.endAddress(), unoTraits.flashBytes);

    SimulatedBoard uno(BoardKind::Uno);
    QVERIFY2(uno.loadBootloader(optiboot), qPrintable(uno.errorString()));
    const QByteArray flash = uno.flash();
    QCOMPARE(flash.size(), int(unoTraits.flashBytes));
    QCOMPARE(flash.mid(int(kUnoBootStart), code.size()), code);
    QCOMPARE(flash.left(int(kUnoBootStart)), QByteArray(int(kUnoBootStart), kErased));

    // The package's prebuilt optiboot is 532 bytes at 0x7E00: it runs past
    // the end of the 32 KiB flash and cannot be used.
    const QString prebuilt
        = QFileInfo(stk500v2).dir().filePath(QStringLiteral("../optiboot/optiboot_atmega328.hex"));
    SimulatedBoard trap(BoardKind::Uno);
    QVERIFY(!trap.loadBootloader(prebuilt));
    QVERIFY2(trap.errorString().endsWith(
                 QLatin1String("ends at 0x8014, past the end of the 32768-byte flash")),
             qPrintable(trap.errorString()));
    QVERIFY(!trap.start());
    QCOMPARE(trap.errorString(), QStringLiteral("no bootloader loaded"));

    // The MEGA bootloader's HEX is usable as it stands.
    const HexContents megaLoader = readIntelHexFile(stk500v2);
    QVERIFY2(megaLoader.ok(), qPrintable(megaLoader.error));
    QCOMPARE(megaLoader.chunks.first().address, kMegaBootStart);
    SimulatedBoard mega(BoardKind::Mega);
    QVERIFY(!mega.loadBootloader(optiboot));
    QVERIFY2(mega.errorString().contains(QLatin1String("below the boot section at 0x3E000")),
             qPrintable(mega.errorString()));
    QVERIFY2(mega.loadBootloader(stk500v2), qPrintable(mega.errorString()));
    QCOMPARE(mega.flash().size(), int(megaTraits.flashBytes));
    QCOMPARE(mega.flash().mid(int(kMegaBootStart), megaLoader.chunks.first().data.size()),
             megaLoader.chunks.first().data);

    SimulatedBoard unoWithMegaLoader(BoardKind::Uno);
    QVERIFY(!unoWithMegaLoader.loadBootloader(stk500v2));
    const QByteArray probe(kProbeBytes, 'x');
    QVERIFY(!unoWithMegaLoader.loadProgram(probe, unoTraits.flashBytes - kProbeBytes / 2));
    QVERIFY(unoWithMegaLoader.loadProgram(probe, unoTraits.flashBytes - kProbeBytes));
    QCOMPARE(unoWithMegaLoader.flash().right(kProbeBytes), probe);
}

void SimulatedBoardTest::bootloadersAnswerTheirFirstCommand_data()
{
    QTest::addColumn<BoardKind>("kind");
    QTest::newRow("UNO, optiboot") << BoardKind::Uno;
    QTest::newRow("MEGA, stk500v2") << BoardKind::Mega;
}

void SimulatedBoardTest::bootloadersAnswerTheirFirstCommand()
{
    QFETCH(BoardKind, kind);
    QString why;
    auto board = boardWithBootloader(kind, &why);
    QVERIFY2(board, qPrintable(why));
    BoardLink link(*board);
    QVERIFY(board->start());

    if (kind == BoardKind::Uno) {
        board->resetIntoBootloader();
        link.send(kGetSync);
        QVERIFY(link.waitForBytes(kInSyncOk.size(), kReplyTimeoutMs));
        QCOMPARE(link.received(), kInSyncOk);
        link.clear();
        Stk500v1Writer writer(link);
        QCOMPARE(writer.readSignature(), QByteArray::fromHex("1e950f"));
    } else {
        link.send(kSignOnFrame);
        QVERIFY(link.waitForBytes(kSignOnAnswer.size(), kReplyTimeoutMs));
        QCOMPARE(link.received().toHex(' '), kSignOnAnswer.toHex(' '));
        link.clear();
        Stk500v2Writer writer(link);
        QVERIFY2(writer.enterProgrammingMode(), qPrintable(writer.error()));
        QCOMPARE(writer.readSignature(), QByteArray::fromHex("1e9801"));
    }
    QVERIFY(link.received().isEmpty());
    QVERIFY(!link.resets().isEmpty());
    QCOMPARE(link.resets().first(), ResetCause::PowerOn);
}

void SimulatedBoardTest::optibootListensOnlyAfterAnExternalReset()
{
    QString why;
    auto board = boardWithBootloader(BoardKind::Uno, &why);
    QVERIFY2(board, qPrintable(why));
    BoardLink link(*board);
    QVERIFY(board->start());

    // After power-on optiboot hands over at once; with no program the MCU
    // runs through erased flash with its UART off, so the bytes wait.
    link.send(kGetSync);
    QTest::qWait(kSilenceMs);
    QVERIFY(link.received().isEmpty());
    QCOMPARE(board->pendingInput(), kGetSync.size());

    // The external reset drops what was queued for the old program.
    board->resetIntoBootloader();
    QTRY_COMPARE(board->pendingInput(), 0);
    link.send(kGetSync);
    QVERIFY(link.waitForBytes(kInSyncOk.size(), kReplyTimeoutMs));
    QCOMPARE(link.take(kInSyncOk.size()), kInSyncOk);

    // With a program in flash: power-on runs it at once; an external reset
    // gives the bootloader its second, after which the watchdog starts the
    // program again.
    QString noSketch;
    const QByteArray image = sketchImage(QStringLiteral("tiny-uno"), &noSketch);
    QVERIFY2(!image.isEmpty(), qPrintable(noSketch));
    const QByteArray line = BoardFiles::sketch(QStringLiteral("tiny-uno")).line;
    board->stop();
    QVERIFY(board->loadProgram(image));
    link.clear();
    link.clearResets();
    QVERIFY(board->start());
    QVERIFY(link.waitForText(line, kSketchLineTimeoutMs));

    link.clear();
    board->resetIntoBootloader();
    link.send(kGetSync);
    QVERIFY(link.waitForBytes(kInSyncOk.size(), kReplyTimeoutMs));
    QCOMPARE(link.take(kInSyncOk.size()), kInSyncOk);
    QVERIFY(link.waitForText(line, kSketchLineTimeoutMs));
    const QVector<ResetCause> expected { ResetCause::PowerOn, ResetCause::External,
                                         ResetCause::Watchdog };
    QTRY_COMPARE(link.resets(), expected);
}

void SimulatedBoardTest::megaBootloaderHandsOverToTheProgram()
{
    QString why;
    auto board = boardWithBootloader(BoardKind::Mega, &why);
    QVERIFY2(board, qPrintable(why));
    const QByteArray image = sketchImage(QStringLiteral("tiny-mega"), &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    const QByteArray line = BoardFiles::sketch(QStringLiteral("tiny-mega")).line;
    QVERIFY(board->loadProgram(image));
    BoardLink link(*board);

    // Power-on and external reset alike: the bootloader waits for a
    // programmer for about a second, then starts the program.
    QVERIFY(board->start());
    QVERIFY(link.waitForText(line, kSketchLineTimeoutMs));
    link.clear();
    board->resetIntoBootloader();
    QTRY_VERIFY(board->resetCount() >= 2);
    QVERIFY(link.waitForText(line, kSketchLineTimeoutMs));

    // Talked to within that second, it stays.
    link.clear();
    board->resetIntoBootloader();
    link.send(kSignOnFrame);
    QVERIFY(link.waitForBytes(kSignOnAnswer.size(), kReplyTimeoutMs));
    QCOMPARE(link.take(kSignOnAnswer.size()), kSignOnAnswer);
}

void SimulatedBoardTest::flowControlKeepsEveryByte()
{
    // Far more than the UART's receive FIFO holds, written in one go: every
    // command must still get its answer.
    QString why;
    auto uno = boardWithBootloader(BoardKind::Uno, &why);
    QVERIFY2(uno, qPrintable(why));
    BoardLink unoLink(*uno);
    QVERIFY(uno->start());
    uno->resetIntoBootloader();
    unoLink.send(kGetSync.repeated(kSyncBurstCount));
    QVERIFY(unoLink.waitForBytes(kInSyncOk.size() * kSyncBurstCount, kBurstTimeoutMs));
    QCOMPARE(unoLink.received(), kInSyncOk.repeated(kSyncBurstCount));

    auto mega = boardWithBootloader(BoardKind::Mega, &why);
    QVERIFY2(mega, qPrintable(why));
    BoardLink megaLink(*mega);
    QVERIFY(mega->start());
    // The bootloader echoes the sequence number; 1 keeps every frame alike.
    megaLink.send(kSignOnFrame.repeated(kSignOnBurstCount));
    QVERIFY(megaLink.waitForBytes(kSignOnAnswer.size() * kSignOnBurstCount, kBurstTimeoutMs));
    QCOMPARE(megaLink.received(), kSignOnAnswer.repeated(kSignOnBurstCount));
    QTest::qWait(kSilenceMs);
    QCOMPARE(megaLink.received().size(), kSignOnAnswer.size() * kSignOnBurstCount);
}

void SimulatedBoardTest::sketchesRunFromFlash_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("minimumSize");
    QTest::addColumn<int>("maximumSize");
    QTest::newRow("tiny-uno") << "tiny-uno" << 1 << 1024;
    QTest::newRow("full-uno") << "full-uno" << 0x7E00 << 0x7E00;
    QTest::newRow("tiny-mega") << "tiny-mega" << 1 << 1024;
    QTest::newRow("over64k-mega") << "over64k-mega" << 64 * 1024 + 1 << 128 * 1024;
    QTest::newRow("over128k-mega") << "over128k-mega" << 128 * 1024 + 1 << 0x3E000;
    QTest::newRow("full-mega") << "full-mega" << 0x3E000 << 0x3E000;
}

void SimulatedBoardTest::sketchesRunFromFlash()
{
    QFETCH(QString, name);
    QFETCH(int, minimumSize);
    QFETCH(int, maximumSize);

    const BoardFiles::Sketch sketch = BoardFiles::sketch(name);
    QString why;
    const QByteArray image = sketchImage(name, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    QVERIFY2(image.size() >= minimumSize && image.size() <= maximumSize,
             qPrintable(QString::number(image.size())));
    QFile binary(sketch.binaryPath);
    QVERIFY(binary.open(QIODevice::ReadOnly));
    QCOMPARE(binary.readAll(), image);

    auto board = boardWithBootloader(sketch.kind, &why);
    QVERIFY2(board, qPrintable(why));
    QVERIFY(board->loadProgram(image));
    BoardLink link(*board);
    QVERIFY(board->start());
    QVERIFY2(link.waitForText(sketch.line, kSketchLineTimeoutMs), link.received().constData());
    QVERIFY(!link.received().contains("BAD"));
}

void SimulatedBoardTest::severalBoardsInOneProcess()
{
    std::vector<std::unique_ptr<SimulatedBoard>> boards;
    std::vector<std::unique_ptr<BoardLink>> links;
    QVector<QByteArray> lines;
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const BoardKind kind = i % 2 == 0 ? BoardKind::Uno : BoardKind::Mega;
        const QString name
            = kind == BoardKind::Uno ? QStringLiteral("tiny-uno") : QStringLiteral("tiny-mega");
        QString why;
        auto board = boardWithBootloader(kind, &why);
        QVERIFY2(board, qPrintable(why));
        const QByteArray image = sketchImage(name, &why);
        QVERIFY2(!image.isEmpty(), qPrintable(why));
        QVERIFY(board->loadProgram(image));
        links.push_back(std::make_unique<BoardLink>(*board));
        boards.push_back(std::move(board));
        lines.append(BoardFiles::sketch(name).line);
    }
    QElapsedTimer clock;
    clock.start();
    for (auto &board : boards)
        QVERIFY(board->start());

    QVERIFY(QTest::qWaitFor(
        [&] {
            for (int i = 0; i < kBoardsAtOnce; ++i) {
                if (links[size_t(i)]->received().count(lines.at(i)) < kLinesEachBoard)
                    return false;
            }
            return true;
        },
        kManyBoardsTimeoutMs));
    // No board's simulated time ran ahead of the clock.
    QVector<quint64> cycles;
    for (auto &board : boards)
        cycles.append(board->simulatedCycles());
    const double wallSeconds = clock.nsecsElapsed() / 1e9;
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const double simulatedSeconds = double(cycles.at(i)) / boards[size_t(i)]->traits().clockHz;
        QVERIFY2(
            simulatedSeconds <= wallSeconds + kPacingSlackSeconds,
            qPrintable(
                QStringLiteral("%1 s simulated in %2 s").arg(simulatedSeconds).arg(wallSeconds)));
    }
}

QTEST_GUILESS_MAIN(SimulatedBoardTest)
#include "tst_simboard.moc"
