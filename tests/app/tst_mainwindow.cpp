#include "app/devicecolumns.h"
#include "app/devicetablelook.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLayout>
#include <QMetaMethod>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {
const QString kYaHei = QString::fromUtf8("\xe5\xbe\xae\xe8\xbd\xaf\xe9\x9b\x85\xe9\xbb\x91");

QStringList collectedWarnings;
QtMessageHandler previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        collectedWarnings.append(message);
    previousHandler(type, context, message);
}

QStringList objectNamesOf(const QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            names << item->widget()->objectName();
        else if (item->layout())
            names << item->layout()->objectName();
        else
            names << QStringLiteral("<spacer>");
    }
    return names;
}
} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstStateAsTheUserSeesIt();
    void fontsAndHeaders();
    void widgetTreeAndLayouts();
    void tableSettings();
    void layoutKeepsEveryTextWhole_data();
    void layoutKeepsEveryTextWhole();
    void metaObjectSurfaceAndConnections();
    void socketAndTimerAtStart();
    void radioButtonsSwitchTheOpenFileButton();
    void constructAndDestroyRepeatedly();
    void closingTheWindowEndsTheLoopCleanly();
};

void MainWindowTest::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordWarnings);
    // As the program's main() names them: without names, Windows' registry
    // settings can be neither read nor written.
    QCoreApplication::setOrganizationName(QStringLiteral("Rudireze"));
    QCoreApplication::setApplicationName(QStringLiteral("rudireze"));
    QSettings().clear();
}

void MainWindowTest::firstStateAsTheUserSeesIt()
{
    Widget window;
    window.show();
    WidgetProbe probe(window);
    Ui_Widget &ui = probe.ui();

    QCOMPARE(window.windowTitle(), QStringLiteral("Corvane-MT7681 Wireless Rudireze V1.0 "));
    QCOMPARE(window.objectName(), QStringLiteral("Widget"));
    // It opens at its old fixed size and may grow, or shrink as far as its texts allow.
    QCOMPARE(window.size(), QSize(1078, 490));
    QVERIFY(window.minimumWidth() > 0 && window.minimumWidth() < 1078);
    QVERIFY(window.minimumHeight() > 0 && window.minimumHeight() < 490);
    QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));

    QCOMPARE(ui.radioButton_2->text(), QStringLiteral("Use Default file"));
    QVERIFY(ui.radioButton_2->isChecked());
    QCOMPARE(ui.radioButton->text(), QStringLiteral("Manual Assign File"));
    QVERIFY(!ui.radioButton->isChecked());
    QCOMPARE(ui.userNumLabel->text(),
             QString::fromUtf8("Online Count\xef\xbc\x9a"
                               "0"));
    QCOMPARE(ui.pushButton_4->text(), QStringLiteral("Open File"));
    QVERIFY(!ui.pushButton_4->isEnabled());
    QCOMPARE(ui.label->text(), QStringLiteral("Current Use File:"));
    QCOMPARE(ui.label_3->text(), QStringLiteral("Generate time:"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("0:0:0"));
    QCOMPARE(ui.verifyCheckBox->text(), QStringLiteral("Verify"));
    // On at first, then as the user left it.
    QVERIFY(ui.verifyCheckBox->isChecked());
    ui.verifyCheckBox->setChecked(false);
    QVERIFY(!WidgetProbe(*std::make_unique<Widget>()).ui().verifyCheckBox->isChecked());
    ui.verifyCheckBox->setChecked(true);
    QVERIFY(!probe.manualMode());

    for (QLineEdit *edit : { ui.lineEdit, ui.lineEdit_2, ui.lineEdit_3 }) {
        QVERIFY(edit->text().isEmpty());
        QVERIFY(edit->isReadOnly());
        QVERIFY(edit->isEnabled());
    }
    QCOMPARE(ui.lineEdit_3->minimumSize(), QSize(140, 23));
    QCOMPARE(ui.lineEdit_3->maximumSize(), QSize(140, 23));
    QCOMPARE(ui.lineEdit_2->minimumSize(), QSize(533, 23));
    QCOMPARE(ui.lineEdit_2->maximumSize(), QSize(533, 23));

    const QString styleSheet = ui.pushButton_4->styleSheet();
    QCOMPARE(styleSheet.size(), 389);
    QCOMPARE(styleSheet,
             QStringLiteral("QPushButton:hover{background-color: qconicalgradient(cx:0.5, "
                            "cy:0.522909, angle:179.9, stop:0.494318 rgba(2, 225, 250, 255), "
                            "stop:0.5 rgba(2, 242, 251, 255));}QPushButton{background-color:"
                            "transparent;")
                 + QString(12, ' ') + QStringLiteral("border: 1px solid rgb(124, 124, 124);")
                 + QString(13, ' ')
                 + QStringLiteral("border-radius:5px;}QPushButton:pressed{background-color:"
                                  "yellow;")
                 + QString(13, ' ') + QStringLiteral("border: 1px solid rgb(124, 124, 124);")
                 + QString(13, ' ') + QStringLiteral("}"));

    QCOMPARE(probe.defaultPath(), QStringLiteral(""));
    QVERIFY(!probe.defaultPath().isNull());
    QVERIFY(probe.manualPath().isNull());
    QVERIFY(probe.currentFileName().isNull());
    QVERIFY(probe.generateTime().isNull());
    QVERIFY(probe.liveness().isEmpty());
    QVERIFY(!probe.fillingTable());
    QVERIFY(!probe.removingModule());
    QVERIFY(probe.latestWorker() == nullptr);
}

void MainWindowTest::fontsAndHeaders()
{
    Widget window;
    WidgetProbe probe(window);
    Ui_Widget &ui = probe.ui();

    const QFont windowFont = window.font();
    QCOMPARE(windowFont.family(), QStringLiteral("Agency FB"));
    QCOMPARE(windowFont.pointSize(), 14);
    QCOMPARE(windowFont.weight(), 75);

    // The table font sets size and weight only; the family comes from the window.
    const QFont tableFont = ui.userTableWidget->font();
    QCOMPARE(tableFont.family(), QStringLiteral("Agency FB"));
    QCOMPARE(tableFont.pointSize(), 12);
    QCOMPARE(tableFont.weight(), 75);

    // The control font sets family and size; the weight comes from the window.
    const QList<QWidget *> controls
        = { ui.radioButton_2, ui.lineEdit_2,   ui.radioButton,   ui.pushButton_4,
            ui.lineEdit,      ui.label,        ui.lineEdit_3,    ui.label_3,
            ui.label_2,       ui.userNumLabel, ui.verifyCheckBox };
    for (QWidget *control : controls) {
        QCOMPARE(control->font().family(), kYaHei);
        QCOMPARE(control->font().pointSize(), 9);
        QCOMPARE(control->font().weight(), 75);
    }

    const QStringList headers
        = { "Name", "Device", "IP", "Port_Data", "Port_At", "Send", "Progress" };
    for (int column = 0; column < headers.size(); ++column) {
        QTableWidgetItem *item = ui.userTableWidget->horizontalHeaderItem(column);
        QVERIFY(item);
        QCOMPARE(item->type(), int(QTableWidgetItem::Type));
        QCOMPARE(item->text(), headers.at(column));
        QCOMPARE(item->textAlignment(), int(Qt::AlignCenter));
        QCOMPARE(item->font().family(), kYaHei);
        QCOMPARE(item->font().weight(), 75);
        // One size for every header.
        QCOMPARE(item->font().pointSize(), 9);
    }
}

void MainWindowTest::widgetTreeAndLayouts()
{
    Widget window;
    WidgetProbe probe(window);
    Ui_Widget &ui = probe.ui();

    QCOMPARE(window.layout(), static_cast<QLayout *>(ui.verticalLayout_2));
    QCOMPARE(ui.verticalLayout_2->spacing(), 6);
    QCOMPARE(ui.verticalLayout_2->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(objectNamesOf(ui.verticalLayout_2),
             QStringList({ "horizontalLayout_2", "horizontalLayout_3", "horizontalLayout_8" }));
    QCOMPARE(objectNamesOf(ui.horizontalLayout_2),
             QStringList({ "verticalLayout", "userTableWidget" }));
    QCOMPARE(ui.verticalLayout->count(), 0);
    QCOMPARE(objectNamesOf(ui.horizontalLayout_3),
             QStringList({ "radioButton_2", "lineEdit_2", "<spacer>", "userNumLabel" }));
    QCOMPARE(objectNamesOf(ui.horizontalLayout_8),
             QStringList({ "radioButton", "pushButton_4", "lineEdit", "label", "lineEdit_3",
                           "label_3", "label_2", "verifyCheckBox" }));
    for (QLayout *layout :
         { static_cast<QLayout *>(ui.horizontalLayout_2), static_cast<QLayout *>(ui.verticalLayout),
           static_cast<QLayout *>(ui.horizontalLayout_3),
           static_cast<QLayout *>(ui.horizontalLayout_8) })
        QCOMPARE(layout->spacing(), 6);
    QCOMPARE(ui.horizontalLayout_8->contentsMargins().top(), 0);

    QSpacerItem *spacer = ui.horizontalSpacer;
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    // Every widget of the form belongs to the window and is found by its name.
    const QStringList widgetNames
        = { "userTableWidget", "radioButton_2", "lineEdit_2", "userNumLabel",
            "radioButton",     "pushButton_4",  "lineEdit",   "label",
            "lineEdit_3",      "label_3",       "label_2",    "verifyCheckBox" };
    for (const QString &name : widgetNames) {
        auto *child = window.findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
        QVERIFY2(child, qPrintable(name));
        QCOMPARE(child->parentWidget(), static_cast<QWidget *>(&window));
    }
    // Both radio buttons share the window, so they exclude each other without a group.
    QVERIFY(ui.radioButton->autoExclusive());
    QVERIFY(ui.radioButton_2->autoExclusive());
}

void MainWindowTest::tableSettings()
{
    Widget window;
    window.show();
    WidgetProbe probe(window);
    QTableWidget *table = probe.ui().userTableWidget;

    QCOMPARE(table->columnCount(), 7);
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(table->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(table->selectionBehavior(), QAbstractItemView::SelectRows);
    QVERIFY(!table->showGrid());
    QCOMPARE(table->autoScrollMargin(), 16);
    QCOMPARE(table->horizontalHeader()->defaultSectionSize(), 150);
    QCOMPARE(table->horizontalHeader()->minimumSectionSize(), 27);
    QVERIFY(table->verticalHeader()->isHidden());
    QVERIFY(!table->isSortingEnabled());

    // Clicking a cell selects its row and only that row.
    table->setRowCount(2);
    {
        // Name cells filled by hand would start renames (with an error box).
        const QSignalBlocker quiet(table);
        for (int row = 0; row < 2; ++row)
            for (int column = 0; column < 7; ++column)
                table->setItem(row, column, new QTableWidgetItem(QString::number(column)));
    }
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualItemRect(table->item(0, IpColumn)).center());
    QCOMPARE(table->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(table->selectedItems().size(), 7);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualItemRect(table->item(1, AtPortColumn)).center());
    QCOMPARE(table->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(table->selectionModel()->selectedRows().first().row(), 1);
}

void MainWindowTest::layoutKeepsEveryTextWhole_data()
{
    QTest::addColumn<QSize>("size"); // empty: the minimum
    QTest::newRow("minimum") << QSize();
    QTest::newRow("default") << QSize(1078, 490);
    QTest::newRow("wide") << QSize(1280, 800);
}

// Run a second time by CTest with QT_SCALE_FACTOR=1.5.
void MainWindowTest::layoutKeepsEveryTextWhole()
{
    QFETCH(QSize, size);
    QuietWindow w;
    Ui_Widget &ui = w.probe.ui();
    QCOMPARE(w.window.devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble());
    // While no module is listed a hint is drawn into the table, with no widget.
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QCOMPARE(w.table->findChild<EmptyTableHint *>()->text(),
             QStringLiteral("Waiting for modules announcing on UDP port 3333"));
    QVERIFY(w.table->viewport()->findChildren<QWidget *>().isEmpty());
    const QImage hint = w.table->viewport()->grab().toImage();
    QImage blank = hint;
    blank.fill(hint.pixel(0, 0));
    QVERIFY(hint != blank);
    // The longest texts each control may come to show; no rename is meant.
    const QSignalBlocker quiet(w.table);
    w.probe.addDeviceRow(QStringLiteral("192.168.100.200"), QStringLiteral("65535"),
                         QStringLiteral("65535"), QStringLiteral("bench-12"));
    ui.userNumLabel->setText(QString::fromUtf8("Online Count\xef\xbc\x9a"
                                               "256"));
    ui.label_2->setText(QStringLiteral("2026-12-31 23:59:59"));
    w.window.resize(size.isEmpty() ? w.window.minimumSize() : size);
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QCoreApplication::processEvents();
    QCOMPARE(w.window.size(), size.isEmpty() ? w.window.minimumSize() : size);

    for (auto *control : w.window.findChildren<QWidget *>()) {
        if (control->isVisible()
            && (qobject_cast<QLabel *>(control) || qobject_cast<QAbstractButton *>(control)
                || qobject_cast<QComboBox *>(control)))
            QVERIFY2(control->width() >= control->sizeHint().width(),
                     qPrintable(control->objectName() + control->metaObject()->className()));
    }
    QList<QRect> placed;
    for (QLayout *bar : { ui.horizontalLayout_3, ui.horizontalLayout_8 }) {
        for (int i = 0; i < bar->count(); ++i) {
            if (const QWidget *control = bar->itemAt(i)->widget()) {
                for (const QRect &other : qAsConst(placed))
                    QVERIFY2(!other.intersects(control->geometry()),
                             qPrintable(control->objectName()));
                QVERIFY(w.window.rect().contains(control->geometry()));
                placed << control->geometry();
            }
        }
    }
    // Every header whole, and the columns sharing the width.
    QHeaderView *header = w.table->horizontalHeader();
    QVERIFY(header->height() >= header->sizeHint().height());
    int sum = 0;
    for (int column = 0; column < DeviceColumnCount; ++column) {
        QVERIFY(header->sectionSize(column) >= header->sectionSizeHint(column));
        QVERIFY(qAbs(header->sectionSize(column) - header->sectionSize(0)) <= 1);
        sum += header->sectionSize(column);
    }
    QCOMPARE(sum, w.table->viewport()->width());
}

void MainWindowTest::metaObjectSurfaceAndConnections()
{
    Widget window;
    const QMetaObject *meta = window.metaObject();
    QCOMPARE(meta->className(), "Widget");
    QCOMPARE(meta->superClass(), &QWidget::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 13);

    struct Expected
    {
        QMetaMethod::MethodType type;
        const char *signature;
    };
    const Expected expected[] = {
        { QMetaMethod::Signal, "sendIPaddress(QString)" },
        { QMetaMethod::Signal, "change_username(QString,QHostAddress)" },
        { QMetaMethod::Signal, "send_hostname(QString,QString,QString)" },
        { QMetaMethod::Signal, "send_hostinfo(QString,QString,QString)" },
        { QMetaMethod::Slot, "processPendingDatagrams()" },
        { QMetaMethod::Slot, "OnBtnClicked()" },
        { QMetaMethod::Slot, "on_pushButton_4_clicked()" },
        { QMetaMethod::Slot, "deal_ui(int,int,float)" },
        { QMetaMethod::Slot, "update_hex_file()" },
        { QMetaMethod::Slot, "participantLeft(QString)" },
        { QMetaMethod::Slot, "on_radioButton_2_toggled(bool)" },
        { QMetaMethod::Slot, "on_radioButton_toggled(bool)" },
        { QMetaMethod::Slot, "on_userTableWidget_itemChanged(QTableWidgetItem*)" },
    };
    for (int i = 0; i < 13; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        if (method.methodType() == QMetaMethod::Slot)
            QCOMPARE(method.access(), QMetaMethod::Private);
    }
    QCOMPARE(qobject_cast<Widget *>(static_cast<QObject *>(&window)), &window);
    QVERIFY(window.inherits("QWidget"));

    // The four signals are declared for the surface and never connected.
    for (const char *signal :
         { SIGNAL(sendIPaddress(QString)), SIGNAL(change_username(QString, QHostAddress)),
           SIGNAL(send_hostname(QString, QString, QString)),
           SIGNAL(send_hostinfo(QString, QString, QString)) })
        QVERIFY(!QObject::disconnect(&window, signal, nullptr, nullptr));

    // Each start-up connection exists exactly once: disconnecting it succeeds
    // once and then finds nothing more.
    WidgetProbe probe(window);
    Ui_Widget &ui = probe.ui();
    struct Connection
    {
        QObject *sender;
        const char *signal;
        const char *slot;
    };
    const Connection connections[] = {
        { probe.udpSocket(), SIGNAL(readyRead()), SLOT(processPendingDatagrams()) },
        { probe.hexTimer(), SIGNAL(timeout()), SLOT(update_hex_file()) },
        { ui.pushButton_4, SIGNAL(clicked()), SLOT(on_pushButton_4_clicked()) },
        { ui.radioButton_2, SIGNAL(toggled(bool)), SLOT(on_radioButton_2_toggled(bool)) },
        { ui.radioButton, SIGNAL(toggled(bool)), SLOT(on_radioButton_toggled(bool)) },
        { ui.userTableWidget, SIGNAL(itemChanged(QTableWidgetItem *)),
          SLOT(on_userTableWidget_itemChanged(QTableWidgetItem *)) },
    };
    for (const Connection &c : connections) {
        QVERIFY2(QObject::disconnect(c.sender, c.signal, &window, c.slot), c.signal);
        QVERIFY2(!QObject::disconnect(c.sender, c.signal, &window, c.slot), c.signal);
    }
}

void MainWindowTest::socketAndTimerAtStart()
{
    Widget window;
    WidgetProbe probe(window);

    QUdpSocket *socket = probe.udpSocket();
    QCOMPARE(socket->parent(), static_cast<QObject *>(&window));
    QCOMPARE(probe.udpPort(), quint16(3333));
    QCOMPARE(socket->state(), QAbstractSocket::BoundState);
    QCOMPARE(socket->localPort(), quint16(3333));
    // The port is shared: a second program can bind it alongside the window.
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::Any, 3333,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));

    QTimer *timer = probe.hexTimer();
    QVERIFY(timer->parent() == nullptr);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(timer->interval(), 2000);
}

void MainWindowTest::radioButtonsSwitchTheOpenFileButton()
{
    Widget window;
    window.show();
    WidgetProbe probe(window);
    Ui_Widget &ui = probe.ui();

    QTest::mouseClick(ui.radioButton, Qt::LeftButton);
    QVERIFY(ui.radioButton->isChecked());
    QVERIFY(!ui.radioButton_2->isChecked());
    QVERIFY(ui.pushButton_4->isEnabled());
    QVERIFY(probe.manualMode());

    QTest::mouseClick(ui.radioButton_2, Qt::LeftButton);
    QVERIFY(ui.radioButton_2->isChecked());
    QVERIFY(!ui.pushButton_4->isEnabled());
    QVERIFY(!probe.manualMode());
}

void MainWindowTest::constructAndDestroyRepeatedly()
{
    collectedWarnings.clear();
    for (int i = 0; i < 5; ++i) {
        auto *window = new Widget;
        window->show();
        delete window;
    }
    // Once more after the refresh timer has ticked at least once.
    auto *window = new Widget;
    window->show();
    QSignalSpy ticks(WidgetProbe(*window).hexTimer(), &QTimer::timeout);
    QVERIFY(ticks.wait(5000));
    delete window;
    QVERIFY2(collectedWarnings.isEmpty(), qPrintable(collectedWarnings.join('\n')));
}

void MainWindowTest::closingTheWindowEndsTheLoopCleanly()
{
    collectedWarnings.clear();
    auto *window = new Widget;
    window->show();
    QSignalSpy ticks(WidgetProbe(*window).hexTimer(), &QTimer::timeout);
    // Close after the first tick, as a user would with the window running.
    connect(WidgetProbe(*window).hexTimer(), &QTimer::timeout, window, &QWidget::close);
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(ticks.count(), 1);
    delete window;
    QVERIFY2(collectedWarnings.isEmpty(), qPrintable(collectedWarnings.join('\n')));
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
