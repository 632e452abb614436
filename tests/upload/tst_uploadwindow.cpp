#include "devicetable.h"
#include "firmwaretesting.h"
#include "modulethread.h"
#include "scriptedmodule.h"
#include "testkit.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include "upload/thread.h"
#include "upload/uploadlog.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTableWidget>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {
constexpr int kUploadLimitMs = 30000;

QByteArray pattern(int size)
{
    return TestKit::pattern(size, 5, 13, 1, 0);
}

using TestKit::writeImage;

// Puts a module's row at the top, laid out as the device table lays out its rows.
QPushButton *addRow(Widget &window, const QString &ip, const QString &dataPort,
                    const QString &atPort, const QString &board = QStringLiteral("MEGA2560"))
{
    QTableWidget *table = WidgetProbe(window).ui().userTableWidget;
    const QSignalBlocker quiet(table);
    table->insertRow(0);
    table->setItem(0, NameColumn, new QTableWidgetItem(QStringLiteral("module ") + ip));
    auto *combo = new QComboBox;
    combo->insertItems(0,
                       { QStringLiteral("MEGA2560"), QStringLiteral("UNO"),
                         QStringLiteral("Orvex3"), QStringLiteral("Orvex0") });
    combo->setCurrentText(board);
    table->setCellWidget(0, DeviceColumn, combo);
    table->setItem(0, IpColumn, new QTableWidgetItem(ip));
    table->setItem(0, DataPortColumn, new QTableWidgetItem(dataPort));
    table->setItem(0, AtPortColumn, new QTableWidgetItem(atPort));
    auto *button = new QPushButton(QStringLiteral("Upload"));
    table->setCellWidget(0, SendColumn, button);
    QObject::connect(button, SIGNAL(clicked()), &window, SLOT(OnBtnClicked()));
    table->setItem(0, ProgressColumn, new QTableWidgetItem);
    return button;
}

QPushButton *addRow(Widget &window, const ScriptedModule &module,
                    const QString &board = QStringLiteral("MEGA2560"))
{
    return addRow(window, module.ip(), module.dataPort(), module.atPort(), board);
}

QString progressText(Widget &window, int row)
{
    const QTableWidgetItem *item
        = WidgetProbe(window).ui().userTableWidget->item(row, ProgressColumn);
    return item ? item->text() : QStringLiteral("<none>");
}

// Manual mode with a file picked; the image, when given, is what it converted to.
void useManualFile(Widget &window, const QByteArray &image = QByteArray())
{
    if (!image.isEmpty())
        writeImage(image);
    WidgetProbe probe(window);
    probe.ui().radioButton->setChecked(true);
    QVERIFY(probe.manualMode());
    probe.markManualPick(QStringLiteral("blink.ino.hex"));
}

ScriptedModule::Options holdingSignOn(const char *address)
{
    return ScriptedModule::Options::at(address, 0, ScriptedModule::Fault::Hold);
}

// The module a result row names: virtual ("uno", "mega", "corrupting" page 1,
// "unreachable" without a data port) or scripted ("refusing" programming mode).
struct RowModule
{
    ModuleThread modules;
    std::unique_ptr<ScriptedModule> scripted;
    QStringList where; // address, data port, AT port

    bool start(const QString &kind)
    {
        if (kind == QLatin1String("refusing")) {
            scripted = std::make_unique<ScriptedModule>(
                ScriptedModule::Options::at("127.0.0.32", 5, ScriptedModule::Fault::FailedStatus));
            where = QStringList { scripted->ip(), scripted->dataPort(), scripted->atPort() };
            return true;
        }
        ModuleOptions options;
        options.address = QHostAddress(QStringLiteral("127.0.0.32"));
        options.board = kind == QLatin1String("uno") ? BoardType::Uno : BoardType::Mega;
        options.announceIntervalMs = 0;
        options.faults.corruptPage = kind == QLatin1String("corrupting") ? 1 : -1;
        options.faults.refuseData = kind == QLatin1String("unreachable");
        if (!modules.start(1, options))
            return false;
        where = QStringList { options.address.toString(), QString::number(modules.dataPort(0)),
                              QString::number(modules.atPort(0)) };
        return true;
    }
};

} // namespace

class UploadWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installPlainUploadDiagnostics(); } // as the program does
    void init();
    void progressTexts_data();
    void progressTexts();
    void connectFailureBox();
    void reportForMissingRowChangesNothing();
    void noFileShowsWaring();
    void failedConversionStartsNothing();
    void uploadThroughTheWindow_data();
    void uploadThroughTheWindow();
    void resultAndItsReason_data();
    void resultAndItsReason();
    void imageTakenWhenUploadIsPressed();
    void twoRowsAtOnce();
    void reportsFollowTheirModule();
    void rowRemovedDuringUpload();
    void failedHandshakeWhileTheBoxIsOpen();
    void closingTheWindowWhileUploading();
};

void UploadWindowTest::init()
{
    QFile::remove(QStringLiteral("update.bin"));
    QSettings().clear();
}

void UploadWindowTest::progressTexts_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<float>("progress");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    const QString unchanged = QStringLiteral("7%");
    QTest::newRow("half") << 2 << 0.5f << QStringLiteral("50%") << false;
    QTest::newRow("all read, not over") << 2 << 1.0f << QStringLiteral("100%") << false;
    QTest::newRow("0.999 truncated") << 2 << 0.999f << QStringLiteral("99%") << false;
    QTest::newRow("0.57 lies below") << 2 << 0.57f << QStringLiteral("56%") << false;
    QTest::newRow("nothing yet") << 2 << 0.0f << QStringLiteral("0%") << false;
    QTest::newRow("not a number") << 2 << std::nanf("") << QStringLiteral("0%") << false;
    QTest::newRow("successful") << 1 << 1.0f << QStringLiteral("Successful") << true;
    QTest::newRow("almost all") << 1 << 0.999f << QStringLiteral("Fail") << true;
    QTest::newRow("failed") << 1 << 0.0f << QStringLiteral("Fail") << true;
    QTest::newRow("failed, not a number") << 1 << std::nanf("") << QStringLiteral("Fail") << true;
    QTest::newRow("status 3") << 3 << 0.5f << unchanged << false;
    QTest::newRow("status -1") << -1 << 1.0f << unchanged << false;
}

void UploadWindowTest::progressTexts()
{
    QFETCH(int, status);
    QFETCH(float, progress);
    Widget window;
    WidgetProbe probe(window);
    QPushButton *other = addRow(window, QStringLiteral("127.0.0.20"), "1", "2");
    QPushButton *button = addRow(window, QStringLiteral("127.0.0.21"), "1", "2");
    QTableWidget *table = probe.ui().userTableWidget;
    table->item(0, ProgressColumn)->setText(QStringLiteral("7%"));
    button->setEnabled(false);
    other->setEnabled(false);

    QVERIFY(probe.invoke("deal_ui", Q_ARG(int, 0), Q_ARG(int, status), Q_ARG(float, progress)));

    QTEST(progressText(window, 0), "text");
    QTEST(button->isEnabled(), "enabled");
    if (status == 1 || status == 2)
        QCOMPARE(table->item(0, ProgressColumn)->textAlignment(),
                 static_cast<int>(Qt::AlignHCenter));
    QCOMPARE(progressText(window, 1), QString());
    QVERIFY(!other->isEnabled());
}

void UploadWindowTest::connectFailureBox()
{
    Widget window;
    WidgetProbe probe(window);
    QPushButton *button = addRow(window, QStringLiteral("127.0.0.21"), "1", "2");
    probe.ui().userTableWidget->item(0, ProgressColumn)->setText(QStringLiteral("42%"));
    button->setEnabled(false);

    // Look at the box while it is open, then close it.
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen = true;
        QCOMPARE(box->parentWidget(), &window);
        QCOMPARE(box->windowTitle(), kBoxTitle);
        QCOMPARE(box->text(),
                 kBoxText + QStringLiteral("\n module module 127.0.0.21 at 127.0.0.21"));
        // The row says it before the box is closed.
        QCOMPARE(progressText(window, 0), QStringLiteral("Fail"));
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!button->isEnabled());
        box->done(QMessageBox::Ok);
    });
    QVERIFY(probe.invoke("deal_ui", Q_ARG(int, 0), Q_ARG(int, 0), Q_ARG(float, 1.0f)));
    QVERIFY(seen);
    QCOMPARE(progressText(window, 0), QStringLiteral("Fail"));
    QVERIFY(button->isEnabled());
}

void UploadWindowTest::reportForMissingRowChangesNothing()
{
    Widget window;
    WidgetProbe probe(window);
    MessageBoxCloser closer;
    QPushButton *button = addRow(window, QStringLiteral("127.0.0.21"), "1", "2");
    button->setEnabled(false);

    for (int row : { 1, 5, -1 }) {
        QVERIFY(probe.invoke("deal_ui", Q_ARG(int, row), Q_ARG(int, 2), Q_ARG(float, 0.5f)));
        QVERIFY(probe.invoke("deal_ui", Q_ARG(int, row), Q_ARG(int, 1), Q_ARG(float, 1.0f)));
        QVERIFY(probe.invoke("deal_ui", Q_ARG(int, row), Q_ARG(int, 0), Q_ARG(float, 1.0f)));
    }
    QTableWidget *table = probe.ui().userTableWidget;
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(progressText(window, 0), QString());
    QVERIFY(!button->isEnabled());
    QCOMPARE(closer.seen().size(), 3);
}

void UploadWindowTest::noFileShowsWaring()
{
    Widget window;
    WidgetProbe probe(window);
    MessageBoxCloser closer;
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.22"));
    QPushButton *button = addRow(window, module);
    writeImage(pattern(300));
    probe.ui().radioButton->setChecked(true);
    QVERIFY(probe.manualMode());

    button->click();

    QCOMPARE(closer.seen().size(), 1);
    QCOMPARE(closer.seen().first().title, QStringLiteral("Waring"));
    QCOMPARE(closer.seen().first().text, QStringLiteral("Please Selcet File"));
    QCOMPARE(closer.seen().first().icon, static_cast<int>(QMessageBox::Warning));
    QVERIFY(button->isEnabled());
    QCOMPARE(probe.uploadWorkerCount(), 0);
    QVERIFY(probe.latestWorker() == nullptr);
    QCOMPARE(module.dataConnections(), 0);
}

void UploadWindowTest::failedConversionStartsNothing()
{
    Widget window;
    WidgetProbe probe(window);
    MessageBoxCloser closer;
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.23"));
    QPushButton *button = addRow(window, module);
    // An image from an earlier conversion must not go out in place of the new file.
    writeImage(pattern(300));
    QVERIFY(!probe.manualMode());
    probe.setDefaultPath(QStringLiteral("C:\\Users\\nobody\\build1.tmp\\missing.ino.hex"));

    button->click();

    QCOMPARE(closer.seen().size(), 1);
    QCOMPARE(closer.seen().first().icon, static_cast<int>(QMessageBox::Warning));
    if (probe.currentFileName().isEmpty()) {
        QCOMPARE(closer.seen().first().title, QStringLiteral("Waring"));
    } else {
        QCOMPARE(probe.ui().lineEdit_3->text(), probe.currentFileName());
        QCOMPARE(closer.seen().first().title, QStringLiteral("Conversion failed"));
        QVERIFY(closer.seen().first().text.contains(probe.currentFileName()));
    }
    QVERIFY(button->isEnabled());
    QCOMPARE(probe.uploadWorkerCount(), 0);
    QCOMPARE(module.dataConnections(), 0);
}

void UploadWindowTest::uploadThroughTheWindow_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("MEGA2560 300 bytes")
        << QStringLiteral("MEGA2560")
        << QStringList { QStringLiteral("85%"), QStringLiteral("100%"),
                         QStringLiteral("Successful") };
    QTest::newRow("UNO 300 bytes")
        << QStringLiteral("UNO")
        << QStringList { QStringLiteral("42%"), QStringLiteral("85%"), QStringLiteral("100%"),
                         QStringLiteral("Successful") };
}

void UploadWindowTest::uploadThroughTheWindow()
{
    QFETCH(QString, board);
    Widget window;
    WidgetProbe probe(window);
    // Every page written, and no read-back (the road tests read back).
    probe.ui().verifyCheckBox->setChecked(false);
    const QByteArray image = pattern(300);
    useManualFile(window, image);
    ScriptedModule module(ScriptedModule::Options::at("127.0.0.24"));
    addRow(window, QStringLiteral("127.0.0.99"), "1", "2");
    QPushButton *button = addRow(window, module, board);
    addRow(window, QStringLiteral("127.0.0.98"), "1", "2");
    ProgressRecorder recorder(window, module.ip());

    button->click();
    QVERIFY(!button->isEnabled());
    const QPointer<Thread> worker = probe.latestWorker();
    QVERIFY(worker);
    QCOMPARE(probe.uploadWorkerCount(), 1);

    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);
    QTEST(recorder.texts, "texts");
    QCOMPARE(module.flash().left(image.size()), image);
    // Finished workers go, with their sockets.
    QTRY_VERIFY(worker.isNull());
    QCOMPARE(probe.uploadWorkerCount(), 0);
    QVERIFY(probe.latestWorker() == nullptr);
    QCOMPARE(progressText(window, 0), QString());
    QCOMPARE(progressText(window, 2), QString());
}

void UploadWindowTest::resultAndItsReason_data()
{
    QTest::addColumn<QString>("module");
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason"); // a pattern
    QTest::addColumn<QString>("warning"); // the window's warning, when there is one
    QTest::addColumn<QString>("errorLine"); // the start of a line on standard error

    const QString mega = QStringLiteral("MEGA2560");
    QTest::newRow("verify finds the corrupt byte")
        << "corrupting" << mega << 600 << true << "Fail"
        << "^the flash differs from the image at byte 0x0100$" << QString() << QString();
    QTest::newRow("unverified, it goes unseen")
        << "corrupting" << mega << 600 << false << "Successful"
        << "^600 bytes in \\d+\\.\\d s$" << QString() << QString();
    QTest::newRow("verified") << "mega" << mega << 600 << true << "Successful"
                              << "^600 bytes in \\d+\\.\\d s, verified$" << QString() << QString();
    QTest::newRow("wrong board") << "uno" << mega << 300 << true << "Fail"
                                 << "^the board answered like an UNO .*: choose UNO$" << QString()
                                 << QString();
    QTest::newRow("image too large")
        << "mega"
        << "UNO" << 32257 << true << "Fail"
        << "^the image \\(32257 bytes\\) is larger than the 32256"
        << "update.bin holds 32257 bytes, more than the 32256 bytes below the bootloader of a UNO "
           "board"
        << QString();
    QTest::newRow("bootloader refuses")
        << "refusing" << mega << 300 << true << "Fail"
        << "^wrong reply to the .*: .*STATUS_CMD_FAILED" << QString() << QString();
    QTest::newRow("unreachable") << "unreachable" << mega << 300 << true << "Fail"
                                 << "^cannot connect to data port \\d+: " << QString() << QString();
    QTest::newRow("no image file")
        << "mega" << mega << 0 << true << "Fail"
        << "^cannot open update.bin: .+$" << QString() << "open file error: ";
    QTest::newRow("empty update.bin") << "mega" << mega << -1 << true << "Fail"
                                      << "empty"
                                      << "update.bin is empty: nothing to upload" << QString();
}

void UploadWindowTest::resultAndItsReason()
{
    QFETCH(QString, module);
    QFETCH(int, size);
    QFETCH(bool, verify);
    RowModule target;
    QVERIFY(target.start(module));
    Widget window;
    WidgetProbe probe(window);
    probe.ui().verifyCheckBox->setChecked(verify);
    useManualFile(window, pattern(qMax(size, 0)));
    if (size < 0) // an empty update.bin, rather than none
        writeImage(QByteArray());
    QFETCH(QString, warning);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    MessageBoxCloser boxes;
    StderrCapture errors;
    QFETCH(QString, board);
    QPushButton *button = addRow(window, target.where[0], target.where[1], target.where[2], board);
    QTableWidgetItem *cell = probe.ui().userTableWidget->item(0, ProgressColumn);
    cell->setText(QStringLiteral("Successful"));

    button->click();
    // The last result goes the moment the upload starts.
    QCOMPARE(progressText(window, 0), QString());
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled() && probe.uploadWorkerCount() == 0, kUploadLimitMs);
    QTEST(progressText(window, 0), "text");
    cell = probe.ui().userTableWidget->item(0, ProgressColumn);
    QFETCH(QString, reason);
    QVERIFY2(QRegularExpression(reason).match(cell->toolTip()).hasMatch(),
             qPrintable(cell->toolTip()));
    QCOMPARE(cell->data(Qt::AccessibleDescriptionRole).toString(), cell->toolTip());
    QFETCH(QString, errorLine);
    const QString printed = QString::fromLocal8Bit(errors.text());
    QVERIFY2(printed.contains(QLatin1Char('\n') + errorLine) || printed.startsWith(errorLine),
             qPrintable(printed));
    // Only a module that cannot be reached gets the box, naming it.
    QCOMPARE(boxes.seen().size(), module == QLatin1String("unreachable") ? 1 : 0);
    if (!boxes.seen().isEmpty())
        QCOMPARE(boxes.seen().first().text,
                 kBoxText + QStringLiteral("\n module module %1 at %1").arg(target.where[0]));
}

void UploadWindowTest::imageTakenWhenUploadIsPressed()
{
    // The image is read whole when Upload is pressed: rewriting update.bin
    // while the upload waits for its sign-on reply changes nothing it sends.
    Widget window;
    const QByteArray image = pattern(700);
    useManualFile(window, image);
    ScriptedModule module(holdingSignOn("127.0.0.33"));
    QPushButton *button = addRow(window, module);

    button->click();
    QSignalSpy reports(WidgetProbe(window).latestWorker(), SIGNAL(updateover(int, int, float)));
    QTRY_COMPARE(module.dataCommands().size(), 1);
    writeImage(QByteArray(100, '\x11'));
    module.release();

    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);
    QCOMPARE(progressText(window, 0), QStringLiteral("Successful"));
    QCOMPARE(module.flash().left(image.size()), image);
    // One report per 256-byte page of the 700 bytes written, and again read
    // back (Verify is on), then success.
    QList<QVariantList> expected;
    for (int status : { 2, 3 }) {
        for (int done : { 256, 512, 700 })
            expected.append({ 0, status, static_cast<float>(done / 700.0) });
    }
    expected.append({ 0, 1, 1.0f });
    QCOMPARE(static_cast<QList<QVariantList>>(reports), expected);
}

void UploadWindowTest::twoRowsAtOnce()
{
    Widget window;
    WidgetProbe probe(window);
    const QByteArray image = pattern(1000);
    useManualFile(window, image);
    ScriptedModule uno(ScriptedModule::Options::at("127.0.0.25"));
    ScriptedModule orvex(ScriptedModule::Options::at("127.0.0.26"));
    QPushButton *unoButton = addRow(window, uno, QStringLiteral("UNO"));
    QPushButton *orvexButton = addRow(window, orvex, QStringLiteral("Orvex0"));

    unoButton->click();
    orvexButton->click();
    QCOMPARE(probe.uploadWorkerCount(), 2);

    QTRY_VERIFY_WITH_TIMEOUT(unoButton->isEnabled() && orvexButton->isEnabled(), kUploadLimitMs);
    QCOMPARE(progressOf(window, uno.ip()), QStringLiteral("Successful"));
    QCOMPARE(progressOf(window, orvex.ip()), QStringLiteral("Successful"));
    QCOMPARE(uno.atReceived(), QByteArray("AT+U2W=CLIENT\r\nAT+MCUUPDATE=UNO"));
    QCOMPARE(orvex.atReceived(), QByteArray("AT+U2W=CLIENT\r\nAT+MCUUPDATE=MEGA"));
    QCOMPARE(uno.flash().left(image.size()), image);
    QCOMPARE(orvex.flash().left(image.size()), image);
    QTRY_COMPARE(probe.uploadWorkerCount(), 0);
}

void UploadWindowTest::reportsFollowTheirModule()
{
    Widget window;
    WidgetProbe probe(window);
    useManualFile(window, pattern(300));
    ScriptedModule module(holdingSignOn("127.0.0.27"));
    QPushButton *button = addRow(window, module);
    QCOMPARE(rowOf(window, module.ip()), 0);

    button->click();
    QTRY_COMPARE(module.dataCommands().size(), 1);
    // Two modules announce themselves: the uploading row moves down to index 2.
    QPushButton *first = addRow(window, QStringLiteral("127.0.0.97"), "1", "2");
    QPushButton *second = addRow(window, QStringLiteral("127.0.0.96"), "1", "2");
    first->setEnabled(false);
    second->setEnabled(false);
    module.release();

    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), kUploadLimitMs);
    QCOMPARE(rowOf(window, module.ip()), 2);
    QCOMPARE(progressText(window, 2), QStringLiteral("Successful"));
    QCOMPARE(progressText(window, 0), QString());
    QCOMPARE(progressText(window, 1), QString());
    QVERIFY(!first->isEnabled());
    QVERIFY(!second->isEnabled());
}

void UploadWindowTest::rowRemovedDuringUpload()
{
    Widget window;
    WidgetProbe probe(window);
    useManualFile(window, pattern(300));
    ScriptedModule module(holdingSignOn("127.0.0.28"));
    addRow(window, QStringLiteral("127.0.0.95"), "1", "2");
    QPushButton *button = addRow(window, module);
    QPushButton *stays = addRow(window, QStringLiteral("127.0.0.94"), "1", "2");
    stays->setEnabled(false);

    button->click();
    const QPointer<Thread> worker = probe.latestWorker();
    QTRY_COMPARE(module.dataCommands().size(), 1);
    // The module fell silent: its row goes while its upload still runs.
    QTableWidget *table = probe.ui().userTableWidget;
    table->removeRow(rowOf(window, module.ip()));
    module.release();

    QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), kUploadLimitMs);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(progressText(window, 0), QString());
    QCOMPARE(progressText(window, 1), QString());
    QVERIFY(!stays->isEnabled());
}

void UploadWindowTest::failedHandshakeWhileTheBoxIsOpen()
{
    Widget window;
    WidgetProbe probe(window);
    useManualFile(window, pattern(300));
    ScriptedModule::Options options = ScriptedModule::Options::at("127.0.0.29");
    options.firstAtReply = "O";
    ScriptedModule module(options);
    QPushButton *button = addRow(window, module);

    // The box holds the test's own stack in its event loop, so it is watched
    // from a timer: once the final report has been shown behind it, close it.
    QString titleSeen;
    QString textSeen;
    bool finalShownBehindBox = false;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || progressOf(window, module.ip()) != QLatin1String("Fail")
            || !button->isEnabled())
            return;
        finalShownBehindBox = button->isEnabled();
        titleSeen = box->windowTitle();
        textSeen = box->text();
        box->done(QMessageBox::Ok);
        watcher.stop();
    });
    watcher.start(10);

    button->click();
    const QPointer<Thread> worker = probe.latestWorker();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.isActive(), kUploadLimitMs);
    QVERIFY(finalShownBehindBox);
    QCOMPARE(titleSeen, kBoxTitle);
    QVERIFY(textSeen.startsWith(kBoxText));
    QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(button->isEnabled());
    QCOMPARE(progressOf(window, module.ip()), QStringLiteral("Fail"));
    QTRY_VERIFY(worker.isNull());
    QCOMPARE(module.dataCommands().size(), 0);
}

void UploadWindowTest::closingTheWindowWhileUploading()
{
    auto *window = new Widget;
    WidgetProbe probe(*window);
    useManualFile(*window, pattern(300));
    ScriptedModule held(holdingSignOn("127.0.0.30"));
    ScriptedModule other(holdingSignOn("127.0.0.31"));
    addRow(*window, held)->click();
    const QPointer<Thread> first = probe.latestWorker();
    addRow(*window, other, QStringLiteral("UNO"))->click();
    const QPointer<Thread> second = probe.latestWorker();
    QTRY_COMPARE(held.dataCommands().size(), 1);
    QTRY_COMPARE(other.dataCommands().size(), 1);

    // Both workers wait for replies that never come; closing must not wait them out.
    delete window;
    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
    QTRY_VERIFY(held.dataDisconnected());
    QTRY_VERIFY(other.dataDisconnected());
}

QTEST_MAIN(UploadWindowTest)
#include "tst_uploadwindow.moc"
