// The whole road through the window to boards no one here wrote: modules
// with simulated boards announce themselves, their rows appear, the sketch
// is picked with Open File, both boards of the kind are uploaded at once by
// their rows' Upload buttons through the road's bridge and UART, lose no
// byte and run the new program; avrdude reads the flash back through the
// same modules and agrees.
#include "devicetable.h"
#include "modulethread.h"
#include "realboards.h"
#include "testkit.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include "app/devicecolumns.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace RealBoards;

class RealBoardsWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everySketchThroughTheWindow_data();
    void everySketchThroughTheWindow();

private:
    // Each sketch gets modules at fresh addresses: a row keeps the ports it
    // was first announced with.
    TestKit::LoopbackAddresses addresses { "127.0.0.2" };
};

void RealBoardsWindowTest::initTestCase()
{
    const QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
    // The worker writes a debug line for every reply; thousands per upload.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

void RealBoardsWindowTest::everySketchThroughTheWindow_data()
{
    addRoadRows(false);
}

void RealBoardsWindowTest::everySketchThroughTheWindow()
{
    constexpr int kAnnounceIntervalMs = 250;
    constexpr int kRowTimeoutMs = 5000;
    // over128k-mega takes about 14 s in real time, a third of it when the
    // board may run at kFastSpeed; a loaded machine gets room to spare.
    constexpr int kUploadTimeoutMs = 90000;
    QFETCH(int, road);
    const BoardFiles::Sketch sketch = BoardFiles::sketch(roads().at(road).sketch);
    QString why;
    const QByteArray image = sketchImage(sketch, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));

    Widget window;
    WidgetProbe probe(window);
    // The road says whether the window reads back too; avrdude reads back below.
    probe.ui().verifyCheckBox->setChecked(roads().at(road).verify);
    window.show();
    MessageBoxCloser boxes;
    QTableWidget *table = probe.ui().userTableWidget;

    // Manual Assign File, and the sketch's HEX picked with Open File.
    QTest::mouseClick(probe.ui().radioButton, Qt::LeftButton);
    QVERIFY(probe.manualMode());
    {
        FileDialogDriver answer(sketch.hexPath);
        QTest::mouseClick(probe.ui().pushButton_4, Qt::LeftButton);
        QVERIFY(answer.answered);
    }
    QCOMPARE(probe.currentFileName(), QFileInfo(sketch.hexPath).fileName());
    QCOMPARE(TestKit::readFile(QStringLiteral("update.bin")), image);

    ModuleOptions options = simulatedModules(sketch.kind, addresses.take(kBoardsAtOnce));
    options.announceIntervalMs = kAnnounceIntervalMs;
    options.link = linkFor(roads().at(road), road);
    ModuleThread modules;
    QVERIFY2(modules.start(kBoardsAtOnce, options, &why), qPrintable(why));

    QList<QString> ips;
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const QString ip = modules.address(i).toString();
        ips.append(ip);
        QTRY_VERIFY_WITH_TIMEOUT(rowOf(window, ip) >= 0, kRowTimeoutMs);
        QCOMPARE(cellOf(window, ip, DataPortColumn), QString::number(modules.dataPort(i)));
        QCOMPARE(cellOf(window, ip, AtPortColumn), QString::number(modules.atPort(i)));
        auto *device
            = qobject_cast<QComboBox *>(table->cellWidget(rowOf(window, ip), DeviceColumn));
        QVERIFY(device);
        device->setCurrentText(deviceText(sketch.kind));
        QCOMPARE(device->currentText(), deviceText(sketch.kind));
    }

    // Both Upload buttons, one after the other: the uploads run side by side.
    QList<ModuleCounters> before;
    for (int i = 0; i < kBoardsAtOnce; ++i)
        before.append(modules.counters(i));
    for (const QString &ip : qAsConst(ips)) {
        auto *upload
            = qobject_cast<QPushButton *>(table->cellWidget(rowOf(window, ip), SendColumn));
        QVERIFY(upload);
        QTest::mouseClick(upload, Qt::LeftButton);
    }
    for (int i = 0; i < kBoardsAtOnce; ++i)
        QVERIFY(speedUpOnceReached(modules, i, before.at(i).resets, before.at(i).dataBytesIn));
    for (const QString &ip : qAsConst(ips))
        QTRY_COMPARE_WITH_TIMEOUT(cellOf(window, ip, ProgressColumn), QStringLiteral("Successful"),
                                  kUploadTimeoutMs);
    QVERIFY(boxes.seen().size() == 1); // "open file successful" only

    for (int i = 0; i < kBoardsAtOnce; ++i) {
        const QString problem = flashProblem(modules.flash(i), image, sketch.kind);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(modules.counters(i).bytesLost, 0);
        // The new program runs.
        QVERIFY(readSketchLine(modules.address(i), modules.dataPort(i), sketch.line)
                    .contains(sketch.line));
    }

    if (avrdudeProgram().isEmpty())
        QSKIP("uploaded, but avrdude is not installed (Debian package avrdude): no read-back");
    // avrdude needs the bootloader's first second in real time.
    std::vector<std::unique_ptr<FlashReader>> readers;
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        modules.setSimulationSpeed(i, kRealTime);
        before[i] = modules.counters(i);
        readers.push_back(std::make_unique<FlashReader>(
            sketch.kind, modules.address(i), modules.dataPort(i), modules.atPort(i),
            QDir::current().filePath(QStringLiteral("readback-%1.bin").arg(i))));
        QVERIFY2(readers.back()->start(&why), qPrintable(why));
    }
    for (int i = 0; i < kBoardsAtOnce; ++i)
        QVERIFY(speedUpOnceReached(modules, i, before.at(i).resets, before.at(i).dataBytesIn));
    for (int i = 0; i < kBoardsAtOnce; ++i) {
        FlashReader &reader = *readers.at(size_t(i));
        QVERIFY2(reader.finish(), qPrintable(reader.log()));
        const QByteArray readBack = reader.flash();
        QCOMPARE(readBack.left(image.size()), image);
        QCOMPARE(readBack, withoutErasedTail(modules.flash(i)));
        QCOMPARE(modules.counters(i).bytesLost, 0);
    }
}

QTEST_MAIN(RealBoardsWindowTest)
#include "tst_realboards.moc"
