#include "app/widget.h"

#include "app/form/ui_widget.h"
#include "common/names.h"
#include "upload/thread.h"

#include <QDebug>
#include <QMessageBox>
#include <QTableWidget>

#include <climits>
#include <cmath>

namespace {
constexpr double kPercent = 100.0;

// Truncated, not rounded: the float nearest 0.57 lies just below it and shows 56%.
QString percentText(float progress)
{
    const double scaled = std::trunc(static_cast<double>(progress) * kPercent);
    // NaN or a value beyond an int would make the conversion undefined.
    const double bounded = std::isnan(scaled) ? 0.0 : qBound<double>(INT_MIN, scaled, INT_MAX);
    return QString::number(static_cast<int>(bounded)) + QLatin1Char('%');
}

int rowOfModule(const QTableWidget *table, const QString &ip)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, IpColumn);
        if (item && item->text() == ip)
            return row;
    }
    return -1;
}

void putProgressText(QTableWidget *table, int row, const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    table->setItem(row, ProgressColumn, item);
    item->setTextAlignment(Qt::AlignHCenter);
}

void enableSendButton(QTableWidget *table, int row)
{
    if (QWidget *button = table->cellWidget(row, SendColumn))
        button->setEnabled(true);
}
} // namespace

void Widget::deal_ui(int row, int status, float progress)
{
    qDebug() << "row =" << row;

    // Reports follow their module: rows move up and down as modules arrive and
    // leave, so the row a worker was started from is looked up by its address.
    // The worker may be gone once a message box has run its own event loop, so
    // its address is taken now. A report that comes from no worker keeps its index.
    QTableWidget *table = ui->userTableWidget;
    const auto *reporter = qobject_cast<const Thread *>(sender());
    const QString module = reporter ? reporter->module_ip() : QString();
    const auto currentRow = [&]() {
        if (reporter)
            return rowOfModule(table, module);
        return row >= 0 && row < table->rowCount() ? row : -1;
    };

    switch (status) {
    case Thread::UPDATE_FINISHED: {
        const int target = currentRow();
        if (target < 0)
            return;
        auto *item = new QTableWidgetItem(progress == 1.0f ? QStringLiteral("Successful")
                                                           : QStringLiteral("Fail"));
        table->setItem(target, ProgressColumn, item);
        enableSendButton(table, target);
        item->setTextAlignment(Qt::AlignHCenter);
        break;
    }
    case Thread::UPDATE_PROGRESS: {
        const int target = currentRow();
        if (target >= 0)
            putProgressText(table, target, percentText(progress));
        break;
    }
    case Thread::UPDATE_CONNECT_FAILED: {
        showConnectServerFail();
        // The box ran an event loop: rows may have moved meanwhile.
        const int target = currentRow();
        if (target >= 0)
            enableSendButton(table, target);
        break;
    }
    default:
        break;
    }
}

void Widget::showConnectServerFail()
{
    QMessageBox::critical(this, tr("connect server fail"),
                          tr("connect server fail ")
                              + tr("\n the server does not exist or has been occupied"),
                          QMessageBox::Ok, QMessageBox::NoButton);
}
