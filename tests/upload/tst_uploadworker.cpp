#include "firmwaretesting.h"
#include "scriptedmodule.h"
#include "testkit.h"

#include "upload/boards.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/thread.h"
#include "upload/uploadlog.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
// Far above any run here; the slowest waits out five 3000 ms tries.
constexpr int kWorkerLimitMs = 60000;
constexpr int kV2Page = 256;
constexpr int kV1Page = 128;

using Fault = ScriptedModule::Fault;

struct Report
{
    int row;
    int status;
    float progress;
    bool operator==(const Report &other) const
    {
        return row == other.row && status == other.status && progress == other.progress;
    }
};

char *toString(const Report &report)
{
    return qstrdup(
        QByteArray("(" + QByteArray::number(report.row) + ", " + QByteArray::number(report.status)
                   + ", " + QByteArray::number(static_cast<double>(report.progress), 'g', 9) + ")")
            .constData());
}

QByteArray pattern(int size)
{
    return TestKit::pattern(size, 7, 31, 1, 256);
}

float fraction(qint64 part, qint64 whole)
{
    return static_cast<float>(static_cast<double>(part) / static_cast<double>(whole));
}

// What a complete upload reports: one progress per page read, one more for the
// empty read after a full last page, then success.
QList<Report> completeReports(int row, int size, int pageSize)
{
    QList<Report> reports;
    for (qint64 read = 0; read < size;) {
        read = qMin<qint64>(read + pageSize, size);
        reports.append({ row, 2, fraction(read, size) });
    }
    if (size % pageSize == 0)
        reports.append({ row, 2, 1.0f });
    reports.append({ row, 1, 1.0f });
    return reports;
}

QList<Report> progressOnly(const QList<Report> &complete)
{
    return complete.mid(0, complete.size() - 1);
}

// One worker run against a scripted module, watched from the test thread.
class WorkerRun
{
public:
    WorkerRun(const ScriptedModule &module, const QString &board, const QByteArray &image,
              int row = 0, const QString &imageFailure = QString())
        : thread(request(module, board, image, row, imageFailure))
        , spy(&thread, &Thread::updateover)
    {
        thread.start();
    }

    ~WorkerRun()
    {
        if (!thread.wait(kWorkerLimitMs)) {
            thread.requestInterruption();
            thread.wait();
        }
    }

    bool finish() { return thread.wait(kWorkerLimitMs); }
    const Thread &worker() const { return thread; }

    QList<Report> reports() const
    {
        QList<Report> result;
        for (const QList<QVariant> &arguments : spy)
            result.append({ arguments.at(0).toInt(), arguments.at(1).toInt(),
                            arguments.at(2).value<float>() });
        return result;
    }

private:
    static UploadRequest request(const ScriptedModule &module, const QString &board,
                                 const QByteArray &image, int row, const QString &imageFailure)
    {
        UploadRequest asked;
        asked.host_ip = module.ip();
        asked.data_port = module.dataPort();
        asked.at_port = module.atPort();
        asked.row = row;
        asked.board = boardNamed(board);
        asked.image = image;
        asked.image_failure = imageFailure;
        return asked;
    }

    Thread thread;
    QSignalSpy spy;
};

using TestKit::hex;

// The body of a version 2 frame.
QByteArray bodyOf(const QByteArray &frame)
{
    return frame.mid(5, frame.size() - 6);
}

// Index of the first page command in each protocol's stream.
constexpr int kV2FirstAddress = 9; // sign-on, 4 parameters, enter, 3 signature bytes
constexpr int kV1FirstAddress = 22; // 3 syncs, 11 parameters, 2 device, enter, signature, 4 reads
} // namespace

Q_DECLARE_METATYPE(Fault)

class UploadWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void completeUploads_data();
    void completeUploads();
    void versionOneOpening();
    void extendedAddressAbove128KiB();
    void imagesRefusedBeforeConnecting_data();
    void imagesRefusedBeforeConnecting();
    void unknownBoardType();
    void portRefused_data();
    void portRefused();
    void handshakeReplies_data();
    void handshakeReplies();
    void failureAnswers_data();
    void failureAnswers();
    void splitRepliesAccepted_data();
    void splitRepliesAccepted();
    void repliesThatWaitOutTheirTries();
    void resetNoiseIsDrained();
    void connectionClosedMidUpload_data();
    void connectionClosedMidUpload();
    void failedLeaveKeepsSuccess_data();
    void failedLeaveKeepsSuccess();
    void debugLabels_data();
    void debugLabels();
    void refusedAddressIsNamed_data();
    void refusedAddressIsNamed();
};

void UploadWorkerTest::initTestCase()
{
    // Every try of every step writes a debug line; the large images write thousands.
    QLoggingCategory::setFilterRules(QStringLiteral("rudireze.upload.debug=false"));
}

void UploadWorkerTest::completeUploads_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");

    for (const char *board : { "MEGA2560", "Orvex3", "Orvex0" }) {
        for (int size : { 1, 256, 512, 300, 30 * 1024 }) {
            if (qstrcmp(board, "MEGA2560") != 0 && size != 300)
                continue;
            QTest::addRow("%s %d bytes", board, size) << QString::fromLatin1(board) << size;
        }
    }
    // 32,256: all the flash below the bootloader.
    for (int size : { 1, 128, 256, 200, 300, 30 * 1024, 32256 })
        QTest::addRow("UNO %d bytes", size) << QStringLiteral("UNO") << size;
}

void UploadWorkerTest::completeUploads()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    const bool v1 = board == QLatin1String("UNO");
    const int pageSize = v1 ? kV1Page : kV2Page;
    const QByteArray image = pattern(size);
    // Replies come a byte at a time, and bytes that arrive while a page is
    // written would be lost.
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.2");
    options.bytewise = true;
    options.pageWriteMs = 1;
    ScriptedModule module(options);

    WorkerRun run(module, board, image, 3);
    QVERIFY(run.finish());

    QCOMPARE(run.reports(), completeReports(3, size, pageSize));
    QCOMPARE(module.atReceived(),
             QByteArray("AT+U2W=CLIENT\r\n") + (v1 ? "AT+MCUUPDATE=UNO" : "AT+MCUUPDATE=MEGA"));
    const QByteArray flash = module.flash();
    QCOMPARE(flash.left(size), image);
    QCOMPARE(flash.mid(size, kV2Page), QByteArray(kV2Page, '\xFF'));

    QCOMPARE(module.overruns(), 0);

    const QList<QByteArray> commands = module.dataCommands();
    const int pages = (size + pageSize - 1) / pageSize;
    int index = v1 ? kV1FirstAddress : kV2FirstAddress;
    // Program-flash advances the MEGA2560's address: one load address serves
    // them all. Every other board gets one before every page.
    const bool addressEachPage = board != QLatin1String("MEGA2560");
    for (int page = 0; page < pages; ++page) {
        if (page == 0 || addressEachPage) {
            QCOMPARE(v1 ? commands.at(index) : bodyOf(commands.at(index)),
                     v1 ? stk500v1::loadAddress(static_cast<quint32>(page * 64)).bytes
                        : stk500v2::loadAddressBody(static_cast<quint32>(page * 128)));
            ++index;
        }
        // Whole pages only: the bootloaders write their whole page buffer.
        QCOMPARE(commands.at(index++).size(), v1 ? 133 : 272);
    }
    // Then the leave, also after a full last page.
    QCOMPARE(commands.size(), index + 1);
    if (v1) {
        QCOMPARE(commands.last(), hex("5120"));
        return;
    }
    QCOMPARE(commands.first(), hex("1B0100010E0114"));
    for (int i = 0; i < commands.size(); ++i) {
        const QByteArray &frame = commands.at(i);
        QCOMPARE(static_cast<quint8>(frame.at(1)), static_cast<quint8>(i + 1));
        QCOMPARE(stk500v2::checksum(frame), static_cast<quint8>(0));
    }
    QCOMPARE(bodyOf(commands.last()), hex("110101"));
}

void UploadWorkerTest::versionOneOpening()
{
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.2"));
    WorkerRun run(module, QStringLiteral("UNO"), pattern(1));
    QVERIFY(run.finish());

    // Three syncs, the eleven parameter queries (0x98 among them), the device,
    // enter, signature, four EEPROM reads, then the one page and the leave.
    const QList<QByteArray> expected
        = { hex("3020"),
            hex("3020"),
            hex("3020"),
            hex("418020"),
            hex("418120"),
            hex("418220"),
            hex("419820"),
            hex("418420"),
            hex("418520"),
            hex("418620"),
            hex("418720"),
            hex("418920"),
            hex("418120"),
            hex("418220"),
            stk500v1::setDevice().bytes,
            hex("450504D7C20020"),
            hex("5020"),
            hex("7520"),
            hex("56A003FC0020"),
            hex("56A003FD0020"),
            hex("56A003FE0020"),
            hex("56A003FF0020"),
            hex("55000020"),
            hex("64008046") + pattern(1) + QByteArray(127, '\xFF') + hex("20"),
            hex("5120") };
    QCOMPARE(module.dataCommands(), expected);
}

void UploadWorkerTest::extendedAddressAbove128KiB()
{
    const int size = 128 * 1024 + 300;
    const QByteArray image = pattern(size);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.2"));
    WorkerRun run(module, QStringLiteral("MEGA2560"), image);
    QVERIFY(run.finish());

    QCOMPARE(run.reports().last(), (Report { 0, 1, 1.0f }));
    const QList<QByteArray> commands = module.dataCommands();
    // One load address for the first 512 pages; page 512 needs the extended
    // address byte, and page 513 carries on from it.
    QCOMPARE(bodyOf(commands.at(kV2FirstAddress)), hex("0680000000"));
    QCOMPARE(bodyOf(commands.at(kV2FirstAddress + 1 + 512)), hex("0680010000"));
    QCOMPARE(commands.size(), kV2FirstAddress + 1 + 514 + 1 + 1);
    const QByteArray flash = module.flash();
    QCOMPARE(flash.left(size), image);
    QCOMPARE(flash.mid(size, kV2Page), QByteArray(kV2Page, '\xFF'));
}

void UploadWorkerTest::imagesRefusedBeforeConnecting_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size"); // -1: no image could be had
    QTest::addColumn<QString>("reason");

    // One byte more than the flash below the bootloader: its last page would
    // be written over the bootloader's first.
    QTest::newRow("UNO one byte into the bootloader")
        << QStringLiteral("UNO") << 32256 + 1
        << QStringLiteral("larger than the 32256 bytes below the bootloader of a UNO board");
    QTest::newRow("MEGA2560 one byte into the bootloader")
        << QStringLiteral("MEGA2560") << 253952 + 1
        << QStringLiteral("larger than the 253952 bytes below the bootloader of a MEGA2560 board");
    QTest::newRow("Orvex0 one byte into the bootloader")
        << QStringLiteral("Orvex0") << 253952 + 1
        << QStringLiteral("larger than the 253952 bytes below the bootloader of a Orvex0 board");
    QTest::newRow("MEGA2560 over 256 KiB") << QStringLiteral("MEGA2560") << 256 * 1024 + 1
                                           << QStringLiteral("larger than the 253952 bytes");
    QTest::newRow("empty image") << QStringLiteral("UNO") << 0 << QStringLiteral("empty");
    QTest::newRow("no image") << QStringLiteral("MEGA2560") << -1
                              << QStringLiteral("cannot open the image");
}

void UploadWorkerTest::imagesRefusedBeforeConnecting()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    QFETCH(QString, reason);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.2"));
    WorkerRun run(module, board, pattern(qMax(size, 0)), 5, size < 0 ? reason : QString());
    QVERIFY(run.finish());

    QCOMPARE(run.reports(), (QList<Report> { { 5, 1, 0.0f } }));
    QVERIFY2(run.worker().failure_reason().contains(reason),
             qPrintable(run.worker().failure_reason()));
    QCOMPARE(module.dataConnections(), 0);
    QCOMPARE(module.atConnections(), 0);
}

void UploadWorkerTest::unknownBoardType()
{
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.2"));
    for (const char *board : { "ATmega8", "uno", "MEGA2560 ", "" }) {
        WorkerRun run(module, QString::fromLatin1(board), pattern(300));
        QVERIFY(run.finish());
        QVERIFY(run.reports().isEmpty());
    }
    QCOMPARE(module.dataConnections(), 0);
    QCOMPARE(module.atConnections(), 0);
}

void UploadWorkerTest::portRefused_data()
{
    QTest::addColumn<bool>("dataPort"); // false: the AT port
    QTest::addColumn<QString>("board");
    QTest::newRow("data port") << true << QStringLiteral("MEGA2560");
    QTest::newRow("AT port") << false << QStringLiteral("UNO");
}

void UploadWorkerTest::portRefused()
{
    QFETCH(bool, dataPort);
    QFETCH(QString, board);
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.3");
    (dataPort ? options.dataRefuses : options.atRefuses) = true;
    ScriptedModule module(options);
    WorkerRun run(module, board, pattern(300), 2);
    QVERIFY(run.finish());

    QCOMPARE(run.reports(), (QList<Report> { { 2, 0, 1.0f } }));
    if (dataPort) {
        QCOMPARE(module.atConnections(), 0);
        return;
    }
    QTRY_COMPARE(module.dataConnections(), 1);
    QTRY_VERIFY(module.dataDisconnected());
    QVERIFY(module.dataCommands().isEmpty());
}

void UploadWorkerTest::handshakeReplies_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QByteArray>("firstReply");
    QTest::addColumn<QByteArray>("secondReply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("split"); // bytes in the first piece of each reply; 0: one piece

    QTest::newRow("first reply one byte")
        << QStringLiteral("MEGA2560") << QByteArray("O") << QByteArray("OK") << false << 0;
    QTest::newRow("second reply one byte")
        << QStringLiteral("UNO") << QByteArray("OK") << QByteArray("O") << false << 0;
    QTest::newRow("two bytes of anything")
        << QStringLiteral("UNO") << QByteArray("\0\xFF", 2) << QByteArray("no") << true << 0;
    QTest::newRow("first reply ERROR")
        << QStringLiteral("MEGA2560") << QByteArray("ERROR\r\n") << QByteArray("OK") << false << 0;
    QTest::newRow("second reply ERROR, ER alone first")
        << QStringLiteral("UNO") << QByteArray("OK") << QByteArray("ERROR\r\n") << false << 2;
    QTest::newRow("second reply ERROR after a blank line")
        << QStringLiteral("UNO") << QByteArray("ok") << QByteArray("\r\nerror\r\n") << false << 2;
}

void UploadWorkerTest::handshakeReplies()
{
    QFETCH(QString, board);
    QFETCH(QByteArray, firstReply);
    QFETCH(QByteArray, secondReply);
    QFETCH(bool, accepted);
    const QByteArray image = pattern(300);
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.4");
    options.firstAtReply = firstReply;
    options.secondAtReply = secondReply;
    QFETCH(int, split);
    options.atReplySplit = split;
    ScriptedModule module(options);
    WorkerRun run(module, board, image, 1);
    QVERIFY(run.finish());

    if (accepted) {
        QCOMPARE(run.reports(), completeReports(1, image.size(), kV1Page));
        QCOMPARE(module.flash().left(image.size()), image);
        return;
    }
    QCOMPARE(run.reports(), (QList<Report> { { 1, 0, 1.0f }, { 1, 1, 0.0f } }));
    QVERIFY(module.dataCommands().isEmpty());
    // A single byte or ERROR is an answer that says no, not silence.
    QVERIFY(run.worker().handshake_refused());
    const QString &reason = run.worker().failure_reason();
    QVERIFY2(reason.contains(QLatin1String("refused the handshake")), qPrintable(reason));
    QCOMPARE(reason.endsWith(QLatin1String(" with ERROR")),
             (firstReply + secondReply).toUpper().contains("ERROR"));
    // A refused first command never leads to the second.
    QCOMPARE(module.atReceived().contains("AT+MCUUPDATE"),
             firstReply.size() >= 2 && !firstReply.contains("ERROR"));
}

void UploadWorkerTest::failureAnswers_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("command");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("signature"); // empty: the board's own
    QTest::addColumn<int>("pagesRead"); // -1: the upload succeeds
    QTest::addColumn<QString>("reason");

    const QByteArray own;
    const QString mega = QStringLiteral("MEGA2560");
    const QString uno = QStringLiteral("UNO");
    QTest::newRow("v2 sign-on failed") << mega << 0 << Fault::FailedStatus << own << 0
                                       << "sign on command (image offset 0): status 0xC0";
    QTest::newRow("v2 parameter sequence")
        << mega << 2 << Fault::WrongSequence << own << 0 << "sequence number 0x04 where 0x03";
    QTest::newRow("v2 enter checksum") << mega << 5 << Fault::BadChecksum << own << 0 << "checksum";
    QTest::newRow("v2 page failed") << mega << kV2FirstAddress + 1 << Fault::FailedStatus << own
                                    << 1 << "program flash command (image offset 0): status";
    QTest::newRow("v2 wrong signature") << mega << -1 << Fault::None << QByteArray("\x1E\x95\x0F")
                                        << 0 << "signature is 1E 95 0F, not 1E 98 01 of a MEGA2560";
    QTest::newRow("Orvex0 any signature") << QStringLiteral("Orvex0") << -1 << Fault::None
                                          << QByteArray("\x1E\x95\x0F") << -1 << QString();
    QTest::newRow("v1 sync no sync") << uno << 0 << Fault::NoSync << own << 0 << "NOSYNC";
    QTest::newRow("v1 top card failed")
        << uno << 6 << Fault::FailedStatus << own << -1 << QString();
    QTest::newRow("v1 page failed") << uno << kV1FirstAddress + 1 << Fault::FailedStatus << own << 1
                                    << "program page command (image offset 0): 0x11";
    QTest::newRow("v1 wrong signature") << uno << -1 << Fault::None << QByteArray("\x1E\x98\x01")
                                        << 0 << "signature is 1E 98 01, not 1E 95 0F of a UNO";
}

void UploadWorkerTest::failureAnswers()
{
    QFETCH(QString, board);
    QFETCH(int, command);
    QFETCH(Fault, fault);
    QFETCH(QByteArray, signature);
    QFETCH(int, pagesRead);
    QFETCH(QString, reason);
    const QByteArray image = pattern(300);
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.15", command, fault);
    options.bytewise = true;
    options.signature = signature;
    ScriptedModule module(options);
    WorkerRun run(module, board, image);
    QVERIFY(run.finish());

    const int pageSize = board == QLatin1String("UNO") ? kV1Page : kV2Page;
    const QList<Report> complete = completeReports(0, image.size(), pageSize);
    if (pagesRead < 0) {
        QCOMPARE(run.reports(), complete);
        QCOMPARE(module.flash().left(image.size()), image);
        return;
    }
    QCOMPARE(run.reports(), complete.mid(0, pagesRead) + QList<Report>({ { 0, 1, 0.0f } }));
    QVERIFY2(run.worker().failure_reason().contains(reason),
             qPrintable(run.worker().failure_reason()));
    // A wrong signature stops the upload before anything is written.
    if (!signature.isEmpty())
        QCOMPARE(module.flash(), QByteArray(ScriptedModule::kFlashSize, '\xFF'));
}

void UploadWorkerTest::splitRepliesAccepted_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("command");

    QTest::newRow("v2 sign-on") << QStringLiteral("MEGA2560") << 0;
    QTest::newRow("v2 first page") << QStringLiteral("MEGA2560") << kV2FirstAddress + 1;
    QTest::newRow("v1 sync") << QStringLiteral("UNO") << 0;
    QTest::newRow("v1 signature") << QStringLiteral("UNO") << 17;
}

void UploadWorkerTest::splitRepliesAccepted()
{
    QFETCH(QString, board);
    QFETCH(int, command);
    const QByteArray image = pattern(300);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.5", command, Fault::SplitReply));
    WorkerRun run(module, board, image);
    QVERIFY(run.finish());

    QCOMPARE(run.reports().last(), (Report { 0, 1, 1.0f }));
    QCOMPARE(module.flash().left(image.size()), image);
}

void UploadWorkerTest::repliesThatWaitOutTheirTries()
{
    // Each of these waits out its tries, so they run side by side.
    const QByteArray image = pattern(300);
    ScriptedModule shortSignOn(ScriptedModule::Options::at("127.0.0.6", 0, Fault::ShortReply));
    ScriptedModule longLastPage(
        ScriptedModule::Options::at("127.0.0.7", kV2FirstAddress + 2, Fault::LongReply));
    ScriptedModule shortV1Page(
        ScriptedModule::Options::at("127.0.0.8", kV1FirstAddress, Fault::ShortReply));
    WorkerRun first(shortSignOn, QStringLiteral("MEGA2560"), image, 4);
    WorkerRun second(longLastPage, QStringLiteral("MEGA2560"), image, 6);
    WorkerRun third(shortV1Page, QStringLiteral("UNO"), image, 8);
    // The top-card query is one a bootloader may leave unanswered.
    ScriptedModule silentTopCard(ScriptedModule::Options::at("127.0.0.13", 6, Fault::Hold));
    WorkerRun fourth(silentTopCard, QStringLiteral("UNO"), image, 9);
    QVERIFY(first.finish());
    QVERIFY(second.finish());
    QVERIFY(third.finish());
    QVERIFY(fourth.finish());

    QCOMPARE(first.reports(), (QList<Report> { { 4, 1, 0.0f } }));
    QCOMPARE(shortSignOn.dataCommands().size(), 1);

    // Every byte was read, but the bootloader did not accept the last page.
    QCOMPARE(second.reports(),
             progressOnly(completeReports(6, 300, kV2Page)) + QList<Report>({ { 6, 1, 0.0f } }));
    QCOMPARE(longLastPage.dataCommands().size(), kV2FirstAddress + 3);

    // The address and its page went out together; the short address reply fails the page.
    QCOMPARE(third.reports(), (QList<Report> { { 8, 2, fraction(128, 300) }, { 8, 1, 0.0f } }));
    QCOMPARE(shortV1Page.dataCommands().size(), kV1FirstAddress + 2);

    QCOMPARE(fourth.reports(), completeReports(9, 300, kV1Page));
    QCOMPARE(silentTopCard.dataCommands().at(7), hex("418420"));
    QCOMPARE(silentTopCard.flash().left(300), image);
}

void UploadWorkerTest::resetNoiseIsDrained()
{
    const QByteArray image = pattern(300);
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.14");
    options.resetNoise = QByteArray("\0\xF0\x3F", 3);
    ScriptedModule module(options);
    WorkerRun run(module, QStringLiteral("MEGA2560"), image);
    QVERIFY(run.finish());

    QCOMPARE(run.reports(), completeReports(0, image.size(), kV2Page));
    QCOMPARE(module.flash().left(image.size()), image);
}

void UploadWorkerTest::connectionClosedMidUpload_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("pagesRead");
    QTest::addColumn<QString>("step"); // the step the reason names

    QTest::newRow("v2 second page")
        << QStringLiteral("MEGA2560") << kV2FirstAddress + 2 << 2
        << QStringLiteral("the program flash command (image offset 256)");
    QTest::newRow("v2 first address")
        << QStringLiteral("MEGA2560") << kV2FirstAddress << 1
        << QStringLiteral("the load address command (image offset 0)");
    QTest::newRow("Orvex3 second address")
        << QStringLiteral("Orvex3") << kV2FirstAddress + 2 << 2
        << QStringLiteral("the load address command (image offset 256)");
    QTest::newRow("v1 first page") << QStringLiteral("UNO") << kV1FirstAddress + 1 << 1
                                   << QStringLiteral("the program page command (image offset 0)");
    QTest::newRow("v1 parameter") << QStringLiteral("UNO") << 5 << 0
                                  << QStringLiteral("the get parameter command (image offset 0)");
}

void UploadWorkerTest::connectionClosedMidUpload()
{
    QFETCH(QString, board);
    QFETCH(int, command);
    QFETCH(int, pagesRead);
    QFETCH(QString, step);
    const int size = 600;
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.9", command, Fault::Close));
    WorkerRun run(module, board, pattern(size));
    QVERIFY(run.finish());
    QCOMPARE(run.worker().failure_reason(),
             QStringLiteral("the module closed the data connection during ") + step);

    const int pageSize = board == QLatin1String("UNO") ? kV1Page : kV2Page;
    const QList<Report> reports = run.reports();
    QCOMPARE(reports.size(), pagesRead + 1);
    QCOMPARE(reports.mid(0, pagesRead), completeReports(0, size, pageSize).mid(0, pagesRead));
    QCOMPARE(reports.last(), (Report { 0, 1, 0.0f }));
}

void UploadWorkerTest::failedLeaveKeepsSuccess_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pageSize");

    QTest::newRow("v2 short last page") << QStringLiteral("MEGA2560") << 300 << kV2Page;
    QTest::newRow("v2 full last page") << QStringLiteral("MEGA2560") << 512 << kV2Page;
    QTest::newRow("v1 short last page") << QStringLiteral("UNO") << 200 << kV1Page;
}

void UploadWorkerTest::failedLeaveKeepsSuccess()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    QFETCH(int, pageSize);
    const int pages = (size + pageSize - 1) / pageSize;
    const int leave
        = pageSize == kV1Page ? kV1FirstAddress + 2 * pages : kV2FirstAddress + 1 + pages;
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.10", leave, Fault::Close));
    WorkerRun run(module, board, pattern(size));
    QVERIFY(run.finish());

    // Every page was accepted; the board was programmed even if the leave went unanswered.
    QCOMPARE(run.reports(), completeReports(0, size, pageSize));
    QCOMPARE(module.flash().left(size), pattern(size));
}

void UploadWorkerTest::debugLabels_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("v2") << QStringLiteral("Orvex3")
                        << QStringList { "TotalBytes = 300",
                                         "current_ip = \"127.0.0.12\"",
                                         "protocol = 1",
                                         "read client reply = \"OK\\r\\n\"",
                                         "read send_sign_on reply 1=",
                                         "read send_sign_on reply =",
                                         "read send stk500 multi =",
                                         "read send_mtk_header_ reply =",
                                         "read send_hw_ reply =" };
    QTest::newRow("v1") << QStringLiteral("UNO")
                        << QStringList { "TotalBytes = 300",     "protocol = 0",
                                         "read hello reply 1=",  "read send_A reply =",
                                         "read send_B reply 1=", "read send_e reply 1=",
                                         "read send_p reply =",  "read send_u reply =",
                                         "send v data =",        "send header lenght =",
                                         "send data lenght =",   "read send_q reply =" };
}

namespace {
QMutex debugLinesMutex;
QStringList debugLines;

void collectDebugLines(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&debugLinesMutex);
    debugLines.append(message);
}
} // namespace

void UploadWorkerTest::debugLabels()
{
    QFETCH(QString, board);
    QFETCH(QStringList, labels);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.12"));
    debugLines.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("rudireze.upload.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(collectDebugLines);
    {
        WorkerRun run(module, board, pattern(300));
        run.finish();
    }
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QStringLiteral("rudireze.upload.debug=false"));

    for (const QString &label : qAsConst(labels)) {
        const bool found = std::any_of(debugLines.cbegin(), debugLines.cend(),
                                       [&](const QString &line) { return line.startsWith(label); });
        QVERIFY2(found, qPrintable(label));
    }
}

void UploadWorkerTest::refusedAddressIsNamed_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("text");
    // Kept as users know them: see docs/kept-from-the-design.md.
    QTest::newRow("v1") << QStringLiteral("UNO") << kV1FirstAddress << "send header erro";
    QTest::newRow("v2") << QStringLiteral("MEGA2560") << kV2FirstAddress << "send stk header erro";
}

void UploadWorkerTest::refusedAddressIsNamed()
{
    QFETCH(QString, board);
    QFETCH(int, command);
    QFETCH(QString, text);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.16", command, Fault::FailedStatus));
    // On standard error in perror's layout, as the window prints it.
    installPlainUploadDiagnostics();
    StderrCapture capture;
    {
        WorkerRun run(module, board, pattern(300));
        QVERIFY(run.finish());
    }
    const QString errors = QString::fromLocal8Bit(capture.text());
    QVERIFY2(errors.contains(QRegularExpression(QStringLiteral("(^|\n)") + text + ": [^\n]+\n")),
             qPrintable(errors));
}

QTEST_GUILESS_MAIN(UploadWorkerTest)
#include "tst_uploadworker.moc"
