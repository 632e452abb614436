#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/form/ui_widget.h"
#include "discovery/renameexchange.h"

#include <QDebug>
#include <QMessageBox>
#include <QTableWidget>

namespace {
QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}
} // namespace

void Widget::on_userTableWidget_itemChanged(QTableWidgetItem *item)
{
    if (!item || !item->tableWidget())
        return;
    if (item->column() != NameColumn || fillingTable)
        return;

    const QTableWidget *table = item->tableWidget();
    const int row = item->row();
    const QString name = item->text();
    const QString host = cellText(table, row, IpColumn);
    qDebug() << name << host;

    const QString problem = hostNameProblem(name);
    if (!problem.isEmpty()) {
        // The box runs an event loop; the old name goes back first so the
        // cell never shows what was not sent.
        fillingTable = true;
        item->setText(item->data(kSentNameRole).toString());
        fillingTable = false;
        QMessageBox::warning(this, tr("rename refused"), tr("The name was not sent: ") + problem,
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    fillingTable = true;
    item->setData(kSentNameRole, name);
    fillingTable = false;

    // Not a number gives 0; the value is taken as a 16-bit port as it stands.
    const auto port = static_cast<quint16>(cellText(table, row, AtPortColumn).toInt(nullptr, 10));
    if (!sendHostName(host, port, name))
        showConnectServerFail();
}
