#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/form/ui_widget.h"
#include "common/names.h"
#include "firmware/defaultfirmware.h"
#include "upload/thread.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>

namespace {

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->data(Qt::DisplayRole).toString() : QString();
}
} // namespace

void Widget::OnBtnClicked()
{
    bool converted = true;
    if (!manual_mode) {
        refresh_default_file();
        current_file_name = defaultFileName(default_path);
        ui->lineEdit_3->setText(current_file_name);
        converted = convert_hex_file(default_path);
    }
    // In manual mode the name shown may still be the default file's: without a
    // pick, ./update.bin could hold any older image.
    if (current_file_name.isEmpty() || (manual_mode && !manual_converted)) {
        QMessageBox::warning(this, tr("Waring"), tr("Please Selcet File"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    if (!converted) {
        // update.bin would still hold an older image: uploading it would be a lie.
        QMessageBox::warning(this, tr("Conversion failed"),
                             tr("The firmware file %1 could not be converted into update.bin, "
                                "so nothing was uploaded.")
                                 .arg(current_file_name),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    auto *button = qobject_cast<QPushButton *>(sender());
    if (!button)
        return;
    // The button's own cell, not its position: the geometry of a row that was
    // just inserted above may not be laid out yet.
    QTableWidget *table = ui->userTableWidget;
    int row = -1;
    for (int candidate = 0; candidate < table->rowCount(); ++candidate) {
        if (table->cellWidget(candidate, SendColumn) == button) {
            row = candidate;
            break;
        }
    }
    qDebug() << "row:" << row;
    if (row < 0)
        return;

    auto *combo = qobject_cast<QComboBox *>(table->cellWidget(row, DeviceColumn));
    QString board_type = combo ? combo->currentText() : QString();
    qDebug() << board_type << (combo ? combo->currentIndex() : -1);

    button->setEnabled(false);
    // The last result goes at once: it says nothing about this upload.
    const QTableWidgetItem *result = table->item(row, ProgressColumn);
    if (result && !(result->text().isEmpty() && result->toolTip().isEmpty())) {
        auto *cleared = new QTableWidgetItem;
        table->setItem(row, ProgressColumn, cleared);
        cleared->setTextAlignment(Qt::AlignHCenter);
    }

    QString at_port = cellText(table, row, AtPortColumn);
    QString host_ip = cellText(table, row, IpColumn);
    QString data_port = cellText(table, row, DataPortColumn);

    Thread *started = new Thread(at_port, data_port, host_ip, row, board_type);
    started->set_verify(ui->verifyCheckBox->isChecked());
    worker = started;
    uploadWorkers.append(started);
    connect(started, SIGNAL(updateover(int, int, float)), this, SLOT(deal_ui(int, int, float)));
    // Queued behind the worker's reports, so deal_ui has seen them all.
    connect(started, &QThread::finished, this, [this, started] {
        uploadWorkers.removeOne(started);
        if (worker == started)
            worker = nullptr;
        started->wait(kWorkerStopGraceMs);
        started->deleteLater();
    });
    started->start(QThread::InheritPriority);
}

void Widget::stopWorkers()
{
    const QList<Thread *> running = uploadWorkers;
    uploadWorkers.clear();
    worker = nullptr;
    for (Thread *thread : running)
        disconnect(thread, nullptr, this, nullptr);
    stopAndDeleteWorkers(running);
}
