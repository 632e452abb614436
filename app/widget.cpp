#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/devicetablelook.h"
#include "app/form/ui_widget.h"
#include "common/names.h"
#include "discovery/announcement.h"

#include <QHeaderView>
#include <QSettings>
#include <QTimer>
#include <QUdpSocket>

namespace {
constexpr int kRefreshIntervalMs = 2000;
constexpr int kWindowWidth = 1078;
constexpr int kWindowHeight = 490;
// Wide enough for the board box and "Successful" in every column, high
// enough for the header and three rows.
constexpr int kMinimumColumnWidth = 140;
constexpr int kMinimumTableHeight = 130;

const char kOpenFileStyleSheet[]
    = "QPushButton:hover{background-color: qconicalgradient(cx:0.5, cy:0.522909, angle:179.9, "
      "stop:0.494318 rgba(2, 225, 250, 255), stop:0.5 rgba(2, 242, 251, 255));}"
      "QPushButton{background-color:transparent;            border: 1px solid rgb(124, 124, 124);"
      "             border-radius:5px;}"
      "QPushButton:pressed{background-color:yellow;             border: 1px solid rgb(124, 124, "
      "124);"
      "             }";
// Whether uploads read the flash back, kept between runs.
const char kVerifySetting[] = "upload/verify";
} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
{
    ui->setupUi(this);
    // The window may grow, and the columns with it; it shrinks no further
    // than its layout allows, so no text is cut.
    resize(kWindowWidth, kWindowHeight);

    udpSocket = new QUdpSocket(this);
    udpPort = kAnnouncementPort;
    default_path = QLatin1String("");
    // Other programs on the host may listen for the same announcements.
    if (udpSocket->bind(QHostAddress::Any, udpPort,
                        QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
        announcementRelay = std::make_unique<AnnouncementRelay>(*udpSocket);
    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(processPendingDatagrams()));

    // A cell of columns 1 to 6 that changes may be editable again.
    QTableWidget *table = ui->userTableWidget;
    connect(table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (item->column() != NameColumn)
            cellsLocked = false;
    });
    connect(table->model(), &QAbstractItemModel::rowsInserted, this,
            [this] { cellsLocked = false; });
    table->verticalHeader()->setHidden(true);
    ui->lineEdit->setReadOnly(true);
    ui->lineEdit_3->setFixedSize(140, 23);
    ui->lineEdit_2->setFixedSize(533, 23);
    ui->lineEdit_3->setReadOnly(true);
    ui->lineEdit_2->setReadOnly(true);

    hex_timer = new QTimer;
    connect(hex_timer, SIGNAL(timeout()), this, SLOT(update_hex_file()));
    hex_timer->start(kRefreshIntervalMs);

    removingModule = false;
    fillingTable = false;
    manual_mode = false;

    ui->pushButton_4->setStyleSheet(QLatin1String(kOpenFileStyleSheet));

    dressDeviceTable(table);
    table->setMinimumSize(DeviceColumnCount * kMinimumColumnWidth + 2 * table->frameWidth(),
                          kMinimumTableHeight);
    // Texts keep their whole width. The labels whose texts change are given
    // the width of the longest they show, so the window's minimum stays put.
    for (QWidget *control : std::initializer_list<QWidget *> {
             ui->radioButton_2, ui->radioButton, ui->pushButton_4, ui->verifyCheckBox })
        control->setSizePolicy(QSizePolicy::Minimum, control->sizePolicy().verticalPolicy());
    const auto keepWidthFor = [](QLabel *label, const QString &longest) {
        const QString shown = label->text();
        label->setText(longest);
        label->setMinimumWidth(label->sizeHint().width());
        label->setText(shown);
    };
    // Kept as users know it: see docs/kept-from-the-design.md.
    keepWidthFor(ui->userNumLabel, tr("Online Count\xef\xbc\x9a%1").arg(kMaxListedModules));
    keepWidthFor(ui->label_2, QStringLiteral("0000-00-00 00:00:00"));

    ui->verifyCheckBox->setChecked(QSettings().value(QLatin1String(kVerifySetting), true).toBool());
    connect(ui->verifyCheckBox, &QCheckBox::toggled, this,
            [](bool on) { QSettings().setValue(QLatin1String(kVerifySetting), on); });
    // The minimum size is settled before the window first shows.
    layout()->activate();
}

Widget::~Widget()
{
    // The timer has no parent; it goes with the window so that no tick can
    // reach a window that no longer exists.
    delete hex_timer;
    stopWorkers();
    delete ui;
}
