// Every fault the virtual module can put on the road of an upload, seen
// through the window: the right message, the right end, and the Upload
// button back in the user's hands.

#include "uploadroad.h"

using namespace road;

class UploadFaultsTest : public RoadTest
{
    Q_OBJECT

private slots:
    void portRefused_data();
    void portRefused();
    void oneByteAtReply();
    void repliesInPieces_data();
    void repliesInPieces();
    void replyOneByteOff_data();
    void replyOneByteOff();
    void connectionClosedMidUpload_data();
    void connectionClosedMidUpload();

private:
    // A module with these faults, its row waiting in a fresh window, the
    // window's message boxes closed as they come.
    struct Road
    {
        ModuleLog log;
        ModuleThread modules;
        Widget window;
        MessageBoxCloser boxes;
        QString ip;
        QPushButton *button = nullptr;

        bool open(const char *address, const QString &board, const FaultOptions &faults)
        {
            ModuleOptions options = moduleAt(address, boardOf(board));
            options.faults = faults;
            if (!modules.start(1, options))
                return false;
            log.attach(modules, 0);
            ip = modules.address(0).toString();
            button = awaitRow(window, ip, board);
            return button != nullptr;
        }
        // Presses Upload; false when the button is not back in time.
        bool upload()
        {
            button->click();
            return QTest::qWaitFor([this] { return button->isEnabled(); }, kUploadLimitMs);
        }
    };
};

void UploadFaultsTest::portRefused_data()
{
    QTest::addColumn<bool>("dataPort"); // false: the AT port
    QTest::addColumn<QString>("board");
    QTest::newRow("data port") << true << QStringLiteral("MEGA2560");
    QTest::newRow("AT port") << false << QStringLiteral("UNO");
}

void UploadFaultsTest::portRefused()
{
    QFETCH(bool, dataPort);
    QFETCH(QString, board);
    QVERIFY(firmware->setImage(patternImage(kSmallImage, dataPort ? 1 : 2)));
    FaultOptions faults;
    (dataPort ? faults.refuseData : faults.refuseAt) = true;
    Road road;
    QVERIFY(road.open(dataPort ? "127.0.0.70" : "127.0.0.71", board, faults));
    ReportCounter reports;

    road.button->click();
    QTRY_COMPARE_WITH_TIMEOUT(WidgetProbe(road.window).uploadWorkerCount(), 0, kUploadLimitMs);

    QCOMPARE(reports.count(), 1);
    QCOMPARE(road.boxes.seen().size(), 1);
    QCOMPARE(road.boxes.seen().first().title, kBoxTitle);
    // The box names the module; the row says why it failed.
    QVERIFY(road.boxes.seen().first().text.startsWith(kBoxText));
    QVERIFY(road.boxes.seen().first().text.endsWith(QStringLiteral(" at ") + road.ip));
    QVERIFY(road.button->isEnabled());
    QCOMPARE(progressOf(road.window, road.ip), QStringLiteral("Fail"));
    const ModuleCounters counters = road.modules.counters(0);
    if (dataPort) {
        // The AT port is never contacted when the data port is not there.
        QCOMPARE(counters.atConnections, 0);
        QCOMPARE(counters.dataConnections, 0);
    } else {
        // The data connection was made, and closed again without a byte.
        QCOMPARE(counters.dataConnections, 1);
        QCOMPARE(counters.dataBytesIn, 0);
        QTRY_COMPARE(road.log.dataDisconnects(), 1);
    }
}

void UploadFaultsTest::oneByteAtReply()
{
    QVERIFY(firmware->setImage(patternImage(kSmallImage, 3)));
    FaultOptions faults;
    faults.oneByteAtReply = true;
    Road road;
    QVERIFY(road.open("127.0.0.72", QStringLiteral("MEGA2560"), faults));
    ReportCounter reports;
    ProgressRecorder recorder(road.window, road.ip);

    road.button->click();
    QTRY_COMPARE_WITH_TIMEOUT(WidgetProbe(road.window).uploadWorkerCount(), 0, kUploadLimitMs);

    // The box for the failed handshake, then the end of the run.
    QCOMPARE(reports.count(), 2);
    QCOMPARE(road.boxes.seen().size(), 1);
    QCOMPARE(road.boxes.seen().first().title, kBoxTitle);
    QCOMPARE(recorder.texts, QStringList { QStringLiteral("Fail") });
    QVERIFY(road.button->isEnabled());
    QCOMPARE(road.log.atCommands(), QList<QByteArray> { "AT+U2W=CLIENT" });
    QCOMPARE(road.modules.counters(0).bootloaderCommands, 0);
    QCOMPARE(road.modules.counters(0).dataBytesIn, 0);
}

void UploadFaultsTest::repliesInPieces_data()
{
    QTest::addColumn<QString>("board");
    QTest::newRow("UNO") << QStringLiteral("UNO");
    QTest::newRow("MEGA2560") << QStringLiteral("MEGA2560");
}

void UploadFaultsTest::repliesInPieces()
{
    constexpr int kSplitPieces = 3;
    constexpr int kSplitGapMs = 20;
    QFETCH(QString, board);
    const QByteArray image = patternImage(kSmallImage, 4);
    QVERIFY(firmware->setImage(image));
    FaultOptions faults;
    faults.splitPieces = kSplitPieces;
    faults.splitGapMs = kSplitGapMs;
    Road road;
    QVERIFY(road.open("127.0.0.73", board, faults));

    QVERIFY(road.upload());

    QCOMPARE(progressOf(road.window, road.ip), QStringLiteral("Successful"));
    QCOMPARE(road.modules.flash(0), flashWith(image, flashSizeOf(board)));
    QCOMPARE(road.boxes.seen().size(), 0);
}

void UploadFaultsTest::replyOneByteOff_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<bool>("shortReply");
    QTest::addColumn<int>("command");

    // Commands are counted from the board's reset. UNO: 1-3 sync, 4-14 the
    // parameter queries (5 is 0x81, whose failure ends the upload). MEGA2560:
    // 1 sign-on, 10 the address and 11 the first page; the pages after carry on
    // from there without an address of their own.
    QTest::newRow("UNO short, parameter query") << QStringLiteral("UNO") << true << 5;
    QTest::newRow("MEGA2560 short, sign-on") << QStringLiteral("MEGA2560") << true << 1;
    QTest::newRow("MEGA2560 long, first page") << QStringLiteral("MEGA2560") << false << 11;
}

void UploadFaultsTest::replyOneByteOff()
{
    QFETCH(QString, board);
    QFETCH(bool, shortReply);
    QFETCH(int, command);
    const QByteArray image = patternImage(kSmallImage, 5);
    QVERIFY(firmware->setImage(image));
    FaultOptions faults;
    (shortReply ? faults.shortReplyAt : faults.longReplyAt) = command;
    Road road;
    QVERIFY(road.open("127.0.0.74", board, faults));
    // The step waits out all its tries (a few seconds each) before it gives up.
    QVERIFY(road.upload());

    QCOMPARE(progressOf(road.window, road.ip), QStringLiteral("Fail"));
    QCOMPARE(road.boxes.seen().size(), 0);
    // Nothing after the step that failed.
    QCOMPARE(road.modules.counters(0).commandsSinceReset, command);
    QVERIFY(road.modules.flash(0) != flashWith(image, flashSizeOf(board)));
}

void UploadFaultsTest::connectionClosedMidUpload_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("command");
    // Well into the pages: UNO's first page is command 23, MEGA2560's 10.
    QTest::newRow("UNO") << QStringLiteral("UNO") << 60;
    QTest::newRow("MEGA2560") << QStringLiteral("MEGA2560") << 40;
}

void UploadFaultsTest::connectionClosedMidUpload()
{
    QFETCH(QString, board);
    QFETCH(int, command);
    const QByteArray image = patternImage(kLargeImage, 6);
    QVERIFY(firmware->setImage(image));
    FaultOptions faults;
    faults.closeDataAt = command;
    Road road;
    QVERIFY(road.open("127.0.0.75", board, faults));
    ProgressRecorder recorder(road.window, road.ip);

    QVERIFY(road.upload());

    QCOMPARE(progressOf(road.window, road.ip), QStringLiteral("Fail"));
    QCOMPARE(road.boxes.seen().size(), 0);
    QVERIFY(recorder.texts.size() >= 2);
    QVERIFY(recorder.texts.at(recorder.texts.size() - 2).endsWith(QLatin1Char('%')));
    QCOMPARE(road.modules.counters(0).commandsSinceReset, command);
    QVERIFY(road.modules.flash(0) != flashWith(image, flashSizeOf(board)));
    QTRY_COMPARE(WidgetProbe(road.window).uploadWorkerCount(), 0);

    // The board is fine: pressing Upload again programs it.
    road.modules.setFaults(0, FaultOptions());
    QVERIFY(road.upload());
    QCOMPARE(progressOf(road.window, road.ip), QStringLiteral("Successful"));
    QCOMPARE(road.modules.flash(0), flashWith(image, flashSizeOf(board)));
}

QTEST_MAIN(UploadFaultsTest)
#include "tst_uploadfaults.moc"
