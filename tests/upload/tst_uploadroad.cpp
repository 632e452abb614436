// The whole road through the window: a module announces itself, its row
// appears, Upload converts the firmware and programs the board behind the
// module, and the row shows the progress and "Successful".

#include "uploadroad.h"

#include <QLoggingCategory>

using namespace road;

namespace {
// A line slow enough that an upload is still running while the test acts.
constexpr int kSlowBaud = 115200;
constexpr int kOverlapImage = 6000;
// Long enough on the slow line for a new module to announce itself meanwhile.
constexpr int kNewcomerImage = 16000;
} // namespace

class UploadRoadTest : public RoadTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadsThroughTheWindow_data();
    void uploadsThroughTheWindow();
    void pickedFileUploads();
    void twoRowsAtOnce();
    void newModuleDuringUpload();
    void orvex0AsksForTheMegaUpdate();
    void noFileShowsWaring_data();
    void noFileShowsWaring();
};

void UploadRoadTest::initTestCase()
{
    // A line for every STK500 step of a 140 KB upload says nothing these
    // checks do not; failures still reach the standard error stream.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

void UploadRoadTest::uploadsThroughTheWindow_data()
{
    // Past the 128 KiB that a 16-bit word address reaches.
    constexpr int kBeyond128KiB = 140000;
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fits"); // false: refused before anything is sent

    for (const char *b : { "UNO", "MEGA2560" }) {
        const QString board = QString::fromLatin1(b);
        const TestKit::BoardSizes sizes = board == QLatin1String("UNO") ? kUno : kMega;
        QTest::addRow("%s 1 byte", b) << board << 1 << true;
        QTest::addRow("%s one page", b) << board << sizes.page << true;
        QTest::addRow("%s two pages", b) << board << 2 * sizes.page << true;
        QTest::addRow("%s 300 bytes", b) << board << 300 << true;
        QTest::addRow("%s about 30 KiB", b) << board << kLargeImage << true;
        QTest::addRow("%s one byte into the bootloader", b)
            << board << sizes.application + 1 << false;
    }
    QTest::newRow("MEGA2560 over 128 KiB") << QStringLiteral("MEGA2560") << kBeyond128KiB << true;
}

void UploadRoadTest::uploadsThroughTheWindow()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    QFETCH(bool, fits);
    const bool uno = board == QLatin1String("UNO");
    const QByteArray image = patternImage(size, size);
    if (!fits)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("below the bootloader")));
    QVERIFY(firmware->setImage(image));

    ModuleThread modules;
    QVERIFY(modules.start(1, moduleAt("127.0.0.60", uno ? BoardType::Uno : BoardType::Mega)));
    const QString ip = modules.address(0).toString();
    Widget window;
    WidgetProbe probe(window);
    QPushButton *button = awaitRow(window, ip, board);
    QVERIFY(button);
    ProgressRecorder recorder(window, ip);

    button->click();
    QVERIFY(!button->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);

    if (fits) {
        QCOMPARE(progressOf(window, ip), QStringLiteral("Successful"));
        QCOMPARE(recorder.texts, successTexts(size, (uno ? kUno : kMega).page));
        QCOMPARE(modules.flash(0), flashWith(image, (uno ? kUno : kMega).flash));
    } else {
        QCOMPARE(recorder.texts, QStringList { QStringLiteral("Fail") });
        QCOMPARE(modules.counters(0).dataConnections, 0);
        QCOMPARE(modules.flash(0), flashWith(QByteArray(), (uno ? kUno : kMega).flash));
    }
    QCOMPARE(probe.ui().lineEdit_3->text(), QStringLiteral("sketch.ino.hex"));
    QTRY_COMPARE(probe.uploadWorkerCount(), 0);
}

void UploadRoadTest::pickedFileUploads()
{
    const QByteArray image = patternImage(kLargeImage, 7);
    const QString path = QDir::current().absoluteFilePath(QStringLiteral("picked.hex"));
    QVERIFY(writeFile(path, hexFor(image)));
    // A newer default sketch must not be what goes out in manual mode.
    QVERIFY(firmware->setImage(patternImage(kLargeImage, 8)));

    ModuleThread modules;
    QVERIFY(modules.start(1, moduleAt("127.0.0.61", BoardType::Mega)));
    const QString ip = modules.address(0).toString();
    Widget window;
    QPushButton *button = awaitRow(window, ip, QStringLiteral("MEGA2560"));
    QVERIFY(button);
    QVERIFY(pickFile(window, path));

    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);
    QCOMPARE(progressOf(window, ip), QStringLiteral("Successful"));
    QCOMPARE(modules.flash(0), flashWith(image, kMega.flash));
}

void UploadRoadTest::twoRowsAtOnce()
{
    const QByteArray image = patternImage(kOverlapImage, 3);
    QVERIFY(firmware->setImage(image));
    ModuleThread unoModule;
    QVERIFY(unoModule.start(1, moduleAt("127.0.0.62", BoardType::Uno, kSlowBaud)));
    ModuleThread megaModule;
    QVERIFY(megaModule.start(1, moduleAt("127.0.0.63", BoardType::Mega, kSlowBaud)));
    const QString unoIp = unoModule.address(0).toString();
    const QString megaIp = megaModule.address(0).toString();

    Widget window;
    WidgetProbe probe(window);
    QPushButton *unoButton = awaitRow(window, unoIp, QStringLiteral("UNO"));
    QPushButton *megaButton = awaitRow(window, megaIp, QStringLiteral("MEGA2560"));
    QVERIFY(unoButton && megaButton);
    ProgressRecorder unoTexts(window, unoIp);
    ProgressRecorder megaTexts(window, megaIp);

    unoButton->click();
    megaButton->click();
    QCOMPARE(probe.uploadWorkerCount(), 2);
    // Both rows are under way before either is over.
    QTRY_VERIFY_WITH_TIMEOUT(progressOf(window, unoIp).endsWith(QLatin1Char('%'))
                                 && progressOf(window, megaIp).endsWith(QLatin1Char('%')),
                             kUploadLimitMs);
    QVERIFY(!unoButton->isEnabled() && !megaButton->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(unoButton->isEnabled() && megaButton->isEnabled(), kUploadLimitMs);
    QCOMPARE(unoTexts.texts, successTexts(kOverlapImage, kUno.page));
    QCOMPARE(megaTexts.texts, successTexts(kOverlapImage, kMega.page));
    QCOMPARE(unoModule.flash(0), flashWith(image, kUno.flash));
    QCOMPARE(megaModule.flash(0), flashWith(image, kMega.flash));
    QTRY_COMPARE(probe.uploadWorkerCount(), 0);
}

void UploadRoadTest::newModuleDuringUpload()
{
    const QByteArray image = patternImage(kNewcomerImage, 4);
    QVERIFY(firmware->setImage(image));
    ModuleThread uploading;
    QVERIFY(uploading.start(1, moduleAt("127.0.0.64", BoardType::Uno, kSlowBaud)));
    const QString ip = uploading.address(0).toString();

    Widget window;
    QPushButton *button = awaitRow(window, ip, QStringLiteral("UNO"));
    QVERIFY(button);
    QCOMPARE(rowOf(window, ip), 0);
    ProgressRecorder recorder(window, ip);

    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(progressOf(window, ip).endsWith(QLatin1Char('%')), kUploadLimitMs);

    // A module switched on now takes the top row; the uploading row moves down.
    ModuleThread newcomer;
    QVERIFY(newcomer.start(1, moduleAt("127.0.0.65", BoardType::Mega)));
    const QString newIp = newcomer.address(0).toString();
    QTRY_VERIFY_WITH_TIMEOUT(rowOf(window, newIp) == 0, kRowWaitMs);
    QCOMPARE(rowOf(window, ip), 1);
    QVERIFY(!button->isEnabled());
    const int textsBeforeMove = recorder.texts.size();

    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);
    QCOMPARE(rowOf(window, ip), 1);
    QCOMPARE(progressOf(window, ip), QStringLiteral("Successful"));
    // Reports kept coming to the moved row, in order, none of them lost.
    QVERIFY(recorder.texts.size() > textsBeforeMove + 1);
    QCOMPARE(recorder.texts, successTexts(kNewcomerImage, kUno.page));
    QCOMPARE(uploading.flash(0), flashWith(image, kUno.flash));
    // The newcomer's row took none of them.
    QCOMPARE(progressOf(window, newIp), QString());
    QVERIFY(uploadButton(window, newIp)->isEnabled());
    QCOMPARE(newcomer.counters(0).dataConnections, 0);
}

void UploadRoadTest::orvex0AsksForTheMegaUpdate()
{
    const QByteArray image = patternImage(300, 5);
    QVERIFY(firmware->setImage(image));
    ModuleLog log;
    ModuleThread modules;
    QVERIFY(modules.start(1, moduleAt("127.0.0.66", BoardType::Mega)));
    log.attach(modules, 0);
    const QString ip = modules.address(0).toString();

    Widget window;
    QPushButton *button = awaitRow(window, ip, QStringLiteral("Orvex0"));
    QVERIFY(button);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);

    QCOMPARE(log.atCommands(), (QList<QByteArray> { "AT+U2W=CLIENT", "AT+MCUUPDATE=MEGA" }));
    QCOMPARE(progressOf(window, ip), QStringLiteral("Successful"));
    QCOMPARE(modules.flash(0), flashWith(image, kMega.flash));
}

void UploadRoadTest::noFileShowsWaring_data()
{
    QTest::addColumn<bool>("manual");
    QTest::addColumn<bool>("sketchShown");
    QTest::newRow("manual, nothing picked") << true << false;
    QTest::newRow("default, no sketch built") << false << false;
    // The default sketch's name stays on display after the switch, but no
    // file was picked: ./update.bin holds nothing chosen.
    QTest::newRow("manual after the default sketch was shown") << true << true;
}

void UploadRoadTest::noFileShowsWaring()
{
    QFETCH(bool, manual);
    QFETCH(bool, sketchShown);
    ModuleThread modules;
    QVERIFY(modules.start(1, moduleAt("127.0.0.67", BoardType::Mega)));
    if (sketchShown) {
        QVERIFY(firmware->setImage(patternImage(300, 7)));
        // An image from an earlier session, which must not be sent.
        QVERIFY(writeFile(QStringLiteral("update.bin"), patternImage(64, 9)));
    }
    const QString ip = modules.address(0).toString();

    Widget window;
    WidgetProbe probe(window);
    QPushButton *button = awaitRow(window, ip, QStringLiteral("MEGA2560"));
    QVERIFY(button);
    if (sketchShown) {
        QVERIFY(probe.invoke("update_hex_file"));
        QCOMPARE(probe.currentFileName(), QStringLiteral("sketch.ino.hex"));
    }
    if (manual) {
        probe.ui().radioButton->click();
        QVERIFY(probe.manualMode());
    }
    MessageBoxCloser boxes;

    button->click();

    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("Waring"));
    QCOMPARE(boxes.seen().first().text, QStringLiteral("Please Selcet File"));
    QVERIFY(button->isEnabled());
    QCOMPARE(probe.uploadWorkerCount(), 0);
    QCOMPARE(QFile::exists(QStringLiteral("update.bin")), sketchShown);
    QFile::remove(QStringLiteral("update.bin"));
    const ModuleCounters counters = modules.counters(0);
    QCOMPARE(counters.dataConnections, 0);
    QCOMPARE(counters.atConnections, 0);
    QCOMPARE(progressOf(window, ip), QString());
}

QTEST_MAIN(UploadRoadTest)
#include "tst_uploadroad.moc"
