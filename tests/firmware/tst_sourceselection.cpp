#include "firmwaretesting.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>

namespace {
constexpr int kTickWaitMs = 5000;

const QByteArray kSketch = ":0400000001020304F2\n:020004000506EF\n:00000001FF\n";
const QByteArray kSketchImage = QByteArray::fromHex("010203040506");
const QByteArray kOtherSketch = ":02000000AABB99\n:00000001FF\n";
const QByteArray kBrokenSketch = ":0400000001020304F2\n:020004000506FF\n:00000001FF\n";

// A window in manual mode with its refresh timer stopped.
struct ManualWindow : QuietWindow
{
    ManualWindow() { QTest::mouseClick(probe.ui().radioButton, Qt::LeftButton); }
};

// The window shows the picked blink.hex (at path, written 2016-05-06 02:03:04
// UTC) and ./update.bin holds its image.
void showsBlink(ManualWindow &w, const QString &path)
{
    Ui_Widget &ui = w.probe.ui();
    RUDIREZE_COMPARE_PATHS(ui.lineEdit->text(), path);
    QCOMPARE(w.probe.currentFileName(), QStringLiteral("blink.hex"));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("blink.hex"));
    QCOMPARE(w.probe.generateTime(), QStringLiteral("2016-05-06 10:03:04"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2016-05-06 10:03:04"));
    QCOMPARE(fileContents(QStringLiteral("update.bin")), kSketchImage);
}
} // namespace

class SourceSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pickedFileIsShownAndConverted();
    void cancelledPickKeepsTheChoice();
    void failingPickKeepsTheChoice();
    void conversionReportsOnStandardError();
    void manualModeTicksChangeNothing();
    void backToDefaultShowsTheDefaultFile();

private:
    QString pick(ManualWindow &w, const QString &answer, MessageBoxCloser &boxes);
    std::unique_ptr<OwnTemporaryDirectory> tmp;
};

void SourceSelectionTest::init()
{
    tmp = std::make_unique<OwnTemporaryDirectory>(QStringLiteral("tmp-selection"));
    QFile::remove(QStringLiteral("update.bin"));
}

void SourceSelectionTest::cleanup()
{
    tmp.reset();
    QFile::remove(QStringLiteral("update.bin"));
    QFile::remove(QStringLiteral("log.txt"));
}

QString SourceSelectionTest::pick(ManualWindow &w, const QString &answer, MessageBoxCloser &boxes)
{
    FileDialogDriver driver(answer);
    boxes.clear();
    QTest::mouseClick(w.probe.ui().pushButton_4, Qt::LeftButton);
    // The slot returns only after its boxes were closed.
    return driver.answered ? driver.title : QString();
}

void SourceSelectionTest::pickedFileIsShownAndConverted()
{
    const QString path = tmp->filePath(QStringLiteral("blink.hex"));
    QVERIFY(writeFileAt(path, kSketch, utc(2016, 5, 6, 2, 3, 4)));
    ManualWindow w;
    MessageBoxCloser boxes;

    FileDialogDriver driver(path);
    QTest::mouseClick(w.probe.ui().pushButton_4, Qt::LeftButton);
    QVERIFY(driver.answered);
    QCOMPARE(driver.title, QStringLiteral("Open hex"));
    QCOMPARE(driver.directory, QDir::currentPath());
    QCOMPARE(driver.filters, QStringList { QStringLiteral("hex(*.hex)") });

    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].title, QStringLiteral("tip"));
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("open file successful"));
    QCOMPARE(boxes.seen()[0].icon, int(QMessageBox::Information));

    RUDIREZE_COMPARE_PATHS(w.probe.manualPath(), path);
    showsBlink(w, path);
}

void SourceSelectionTest::cancelledPickKeepsTheChoice()
{
    const QString path = tmp->filePath(QStringLiteral("blink.hex"));
    QVERIFY(writeFileAt(path, kSketch, utc(2016, 5, 6, 2, 3, 4)));
    ManualWindow w;
    MessageBoxCloser boxes;
    QCOMPARE(pick(w, path, boxes), QStringLiteral("Open hex"));

    QCOMPARE(pick(w, QString(), boxes), QStringLiteral("Open hex"));
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].title, QStringLiteral("waring"));
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("open file fail"));
    QVERIFY(w.probe.manualPath().isEmpty());
    showsBlink(w, path);
}

void SourceSelectionTest::failingPickKeepsTheChoice()
{
    const QString good = tmp->filePath(QStringLiteral("blink.hex"));
    const QString broken = tmp->filePath(QStringLiteral("broken.hex"));
    QVERIFY(writeFileAt(good, kSketch, utc(2016, 5, 6, 2, 3, 4)));
    QVERIFY(writeFileAt(broken, kBrokenSketch, utc(2017, 1, 1, 0, 0, 0)));
    ManualWindow w;
    MessageBoxCloser boxes;
    pick(w, good, boxes);

    StderrCapture capture;
    QCOMPARE(pick(w, broken, boxes), QStringLiteral("Open hex"));
    const QByteArray errors = capture.text();
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].title, QStringLiteral("waring"));
    QCOMPARE(boxes.seen()[0].text,
             QStringLiteral("open file fail\nbroken.hex line 2: wrong checksum: 0xFF given, "
                            "0xEF expected"));
    QCOMPARE(errors, QByteArray("broken.hex line 2: wrong checksum: 0xFF given, 0xEF expected\n"));

    showsBlink(w, good);
}

void SourceSelectionTest::conversionReportsOnStandardError()
{
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    const QString path = tmp->filePath(QStringLiteral("blink.hex"));
    QVERIFY(writeFileAt(path, kSketch, utc(2016, 5, 6, 2, 3, 4)));

    {
        StderrCapture capture;
        QVERIFY(!probe.convertHexFile(tmp->filePath(QStringLiteral("missing.hex"))));
        // In the system's own words for a missing file.
        QFile absent(tmp->filePath(QStringLiteral("missing.hex")));
        QVERIFY(!absent.open(QIODevice::ReadOnly));
        QCOMPARE(capture.text(),
                 "File open error!!!\n: " + absent.errorString().toLocal8Bit() + "\n");
        QVERIFY(!QFile::exists(QStringLiteral("update.bin")));
    }
    {
        StderrCapture capture;
        QVERIFY(probe.convertHexFile(path));
        QVERIFY(capture.text().isEmpty());
        QCOMPARE(fileContents(QStringLiteral("update.bin")), kSketchImage);
    }
    {
        // ./update.bin cannot be replaced while a folder has its name.
        QVERIFY(QFile::remove(QStringLiteral("update.bin")));
        QVERIFY(QDir().mkdir(QStringLiteral("update.bin")));
        StderrCapture capture;
        const bool converted = probe.convertHexFile(path);
        const QByteArray errors = capture.text();
        QDir().rmdir(QStringLiteral("update.bin"));
        QVERIFY(!converted);
        QVERIFY2(errors.startsWith("File creat error!!!\n: "), errors.constData());
        QCOMPARE(QDir().entryList({ "update.bin*" }), QStringList());
    }
}

void SourceSelectionTest::manualModeTicksChangeNothing()
{
    const QString path = tmp->filePath(QStringLiteral("blink.hex"));
    QVERIFY(writeFileAt(path, kSketch, utc(2016, 5, 6, 2, 3, 4)));
    ManualWindow w;
    MessageBoxCloser boxes;
    pick(w, path, boxes);

    // A newer build appears; ticks in manual mode do not look for it.
    QVERIFY(tmp->makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp->filePath("build1.tmp/new.ino.hex"), kOtherSketch,
                        utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(w.probe.invoke("update_hex_file"));
    Ui_Widget &ui = w.probe.ui();
    QVERIFY(ui.lineEdit_2->text().isEmpty());
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("blink.hex"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2016-05-06 10:03:04"));
    QVERIFY(w.probe.defaultPath().isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("log.txt")));
}

void SourceSelectionTest::backToDefaultShowsTheDefaultFile()
{
    const QString path = tmp->filePath(QStringLiteral("blink.hex"));
    QVERIFY(writeFileAt(path, kSketch, utc(2016, 5, 6, 2, 3, 4)));
    QVERIFY(tmp->makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp->filePath("build1.tmp/new.ino.hex"), kOtherSketch,
                        utc(2020, 1, 1, 0, 0, 0)));
    ManualWindow w;
    MessageBoxCloser boxes;
    pick(w, path, boxes);
    Ui_Widget &ui = w.probe.ui();

    QTest::mouseClick(ui.radioButton_2, Qt::LeftButton);
    // Nothing changes until the next tick.
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("blink.hex"));
    w.probe.hexTimer()->start();
    QTRY_COMPARE_WITH_TIMEOUT(ui.lineEdit_3->text(), QStringLiteral("new.ino.hex"), kTickWaitMs);
    QCOMPARE(ui.lineEdit_2->text(),
             QDir::toNativeSeparators(tmp->filePath(QStringLiteral("build1.tmp/new.ino.hex"))));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2020-01-01 8:00:00"));
    RUDIREZE_COMPARE_PATHS(ui.lineEdit->text(), path);
    // The picked image stays until an upload converts the default file.
    QCOMPARE(fileContents(QStringLiteral("update.bin")), kSketchImage);
}

QTEST_MAIN(SourceSelectionTest)
#include "tst_sourceselection.moc"
