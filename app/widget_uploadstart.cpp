#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/form/ui_widget.h"
#include "common/names.h"
#include "firmware/defaultfirmware.h"
#include "upload/boards.h"
#include "upload/thread.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>

namespace {

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->data(Qt::DisplayRole).toString() : QString();
}

// Told by the upload, on its thread, of an update.bin the board cannot take.
void warnImageRefused(const Board &board, qint64 bytes)
{
    if (bytes == 0) {
        qWarning("update.bin is empty: nothing to upload");
        return;
    }
    qWarning("update.bin holds %lld bytes, more than the %lld bytes below the bootloader of a "
             "%s board",
             static_cast<long long>(bytes), static_cast<long long>(board.applicationSize),
             board.name);
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
        // Kept as users know them: see docs/kept-from-the-design.md.
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

    // Any other text: the button stays disabled, and nothing is started.
    const Board *board = boardNamed(board_type);
    if (!board)
        return;
    UploadRequest request;
    request.at_port = cellText(table, row, AtPortColumn);
    request.host_ip = cellText(table, row, IpColumn);
    request.data_port = cellText(table, row, DataPortColumn);
    request.row = row;
    request.board = board;
    request.verify = ui->verifyCheckBox->isChecked();
    request.image = readImage(&request.image_failure);
    request.image_refused = [board](qint64 bytes) { warnImageRefused(*board, bytes); };

    Thread *started = new Thread(request);
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

QByteArray Widget::readImage(QString *failure)
{
    QFile file(QString::fromLatin1(kImagePath));
    if (!file.open(QIODevice::ReadOnly)) {
        // Kept as users know it: see docs/kept-from-the-design.md.
        reportLikePerror("open file error", file.errorString());
        *failure = QStringLiteral("cannot open update.bin: ") + file.errorString();
        return QByteArray();
    }
    const QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        reportLikePerror("open file error", file.errorString());
        *failure = QStringLiteral("cannot read update.bin: ") + file.errorString();
    }
    return image;
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
