#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/form/ui_widget.h"
#include "discovery/announcement.h"
#include "platform/widgetstyle.h"
#include "upload/boards.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTableWidget>

namespace {
// Every column after the name is read-only.
constexpr int kFirstLockedColumn = DeviceColumn;

// Kept as users know them: see docs/kept-from-the-design.md.
const char kComboStyleSheet[] = "QComboBox:hover{background-color:transparent;}"
                                "QComboBox{background-color:transparent;                 }";

const char kUploadStyleSheet[]
    = "QPushButton:hover{background-color: qconicalgradient(cx:0.5, cy:0.522909, angle:179.9, "
      "stop:0.494318 rgba(2, 225, 250, 255), stop:0.5 rgba(2, 242, 251, 255));}"
      "QPushButton{background-color:transparent;                "
      "border: 1px solid rgb(124, 124, 124);                 border-radius:5px;}"
      "QPushButton:pressed{background-color:yellow;                 "
      "border: 1px solid rgb(124, 124, 124);                 }";
// The board box's transparent style sheet relies on the Windows look; where
// the default style hides the board type, the box borrows one that shows it.
// One instance serves all.
QStyle *boardBoxStyle()
{
    static QStyle *style = [] {
        const QString name = transparentBoxStyleName();
        QStyle *borrowed = name.isEmpty() ? nullptr : QStyleFactory::create(name);
        if (borrowed)
            borrowed->setParent(qApp);
        return borrowed;
    }();
    return style;
}
} // namespace

void Widget::addDeviceRow(QString ip, QString dataPort, QString atPort, QString name)
{
    QTableWidget *table = ui->userTableWidget;
    // Only the address column identifies a module: a name that reads like an
    // address must not hide the module at that address.
    if (moduleRows.contains(ip) || table->rowCount() >= kMaxListedModules)
        return;

    auto *ipItem = new QTableWidgetItem(ip);
    auto *dataPortItem = new QTableWidgetItem(dataPort);
    auto *atPortItem = new QTableWidgetItem(atPort);
    auto *nameItem = new QTableWidgetItem(name);
    nameItem->setData(kSentNameRole, name);
    auto *uploadButton = new QPushButton(QStringLiteral("Upload"));

    table->insertRow(0);
    table->setItem(0, IpColumn, ipItem);
    moduleRows.insert(ip, ipItem);
    ipItem->setTextAlignment(Qt::AlignHCenter);
    table->setItem(0, DataPortColumn, dataPortItem);
    dataPortItem->setTextAlignment(Qt::AlignHCenter);
    table->setItem(0, AtPortColumn, atPortItem);
    atPortItem->setTextAlignment(Qt::AlignHCenter);
    table->setCellWidget(0, SendColumn, uploadButton);
    // Kept as users know it: see docs/kept-from-the-design.md.
    ui->userNumLabel->setText(tr("Online Count\xef\xbc\x9a%1").arg(table->rowCount()));
    connect(uploadButton, SIGNAL(clicked()), this, SLOT(OnBtnClicked()));

    auto *boardBox = new QComboBox;
    if (QStyle *style = boardBoxStyle())
        boardBox->setStyle(style);
    int index = 0;
    for (const Board &board : boards())
        boardBox->insertItem(index++, QIcon(), QLatin1String(board.name));
    table->setCellWidget(0, DeviceColumn, boardBox);

    table->setItem(0, NameColumn, nameItem);
    nameItem->setTextAlignment(Qt::AlignHCenter);

    uploadButton->setStyleSheet(QLatin1String(kUploadStyleSheet));
    boardBox->setStyleSheet(QLatin1String(kComboStyleSheet));
}

void Widget::lockTableCells()
{
    if (cellsLocked)
        return;
    QTableWidget *table = ui->userTableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        for (int column = kFirstLockedColumn; column < table->columnCount(); ++column) {
            QTableWidgetItem *item = table->item(row, column);
            if (!item) {
                item = new QTableWidgetItem;
                item->setFlags(item->flags() & ~Qt::ItemIsEditable);
                table->setItem(row, column, item);
            } else if (item->flags() & Qt::ItemIsEditable) {
                // Only where the flag is still set: every change of an item
                // reaches the rename slot, and most cells are locked already.
                item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            }
        }
    }
    // Raised last: locking itself changed items.
    cellsLocked = true;
}

void Widget::participantLeft(QString ip)
{
    QTableWidget *table = ui->userTableWidget;
    int row = 0;
    while (row < table->rowCount()) {
        const QTableWidgetItem *ipItem = table->item(row, IpColumn);
        if (ipItem && ipItem->text() == ip) {
            moduleRows.remove(ip);
            admission.remove(ip);
            table->removeRow(row);
            // Kept as users know it: see docs/kept-from-the-design.md.
            ui->userNumLabel->setText(tr("online count\xef\xbc\x9a%1").arg(table->rowCount()));
            continue;
        }
        ++row;
    }
}
