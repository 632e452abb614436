#include "app/widget.h"

#include "app/form/ui_widget.h"
#include "common/names.h"

#include <QHeaderView>
#include <QTimer>
#include <QUdpSocket>

namespace {
constexpr int kRefreshIntervalMs = 2000;
constexpr int kWindowWidth = 1078;
constexpr int kWindowHeight = 490;

const char kOpenFileStyleSheet[]
    = "QPushButton:hover{background-color: qconicalgradient(cx:0.5, cy:0.522909, angle:179.9, "
      "stop:0.494318 rgba(2, 225, 250, 255), stop:0.5 rgba(2, 242, 251, 255));}"
      "QPushButton{background-color:transparent;            border: 1px solid rgb(124, 124, 124);"
      "             border-radius:5px;}"
      "QPushButton:pressed{background-color:yellow;             border: 1px solid rgb(124, 124, "
      "124);"
      "             }";
} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
{
    ui->setupUi(this);
    setFixedSize(kWindowWidth, kWindowHeight);

    udpSocket = new QUdpSocket(this);
    udpPort = kAnnouncementPort;
    default_path = QLatin1String("");
    // Other programs on the host may listen for the same announcements.
    udpSocket->bind(QHostAddress::Any, udpPort,
                    QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
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
}

Widget::~Widget()
{
    // The timer has no parent; it goes with the window so that no tick can
    // reach a window that no longer exists.
    delete hex_timer;
    stopWorkers();
    delete ui;
}
