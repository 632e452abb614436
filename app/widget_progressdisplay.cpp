#include "app/widget.h"

#include "app/devicecolumns.h"
#include "app/form/ui_widget.h"
#include "upload/thread.h"

#include <QDebug>
#include <QMessageBox>
#include <QTableWidget>

#include <climits>
#include <cmath>

namespace {
constexpr double kPercent = 100.0;
// With the read-back, writing fills the first half of the percentage and
// reading the second: each moves the whole image over the serial line once.
constexpr double kWritingShare = 0.5;

// Truncated, not rounded: the float nearest 0.57 lies just below it and shows 56%.
QString percentText(double progress)
{
    const double scaled = std::trunc(progress * kPercent);
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

// The reason goes with the text, as its tooltip and for screen readers.
void putProgressText(QTableWidget *table, int row, const QString &text,
                     const QString &reason = QString())
{
    auto *item = new QTableWidgetItem(text);
    if (!reason.isEmpty()) {
        item->setToolTip(reason);
        item->setData(Qt::AccessibleDescriptionRole, reason);
    }
    table->setItem(row, ProgressColumn, item);
    item->setTextAlignment(Qt::AlignHCenter);
}

void enableSendButton(QTableWidget *table, int row)
{
    if (QWidget *button = table->cellWidget(row, SendColumn))
        button->setEnabled(true);
}

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = row < 0 ? nullptr : table->item(row, column);
    return item ? item->text() : QString();
}

// What a report without a worker behind it can say.
const char kUnreached[] = "the module could not be reached";
const char kNoResult[] = "the upload ended without a result";
} // namespace

void Widget::deal_ui(int row, int status, float progress)
{
    qDebug() << "row =" << row;

    // Reports follow their module: rows move up and down as modules arrive and
    // leave, so the row a worker was started from is looked up by its address.
    // The worker may be gone once a message box has run its own event loop, so
    // what is needed of it is taken now. A report that comes from no worker
    // keeps its index.
    QTableWidget *table = ui->userTableWidget;
    const auto *reporter = qobject_cast<const Thread *>(sender());
    const QString module = reporter ? reporter->module_ip() : QString();
    const bool verifying = reporter && reporter->verifying();
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
        const bool successful = progress == 1.0f;
        QString reason;
        if (reporter)
            reason = successful
                ? Thread::success_text(reporter->image_bytes(), reporter->run_seconds(), verifying)
                : reporter->failure_text();
        else if (!successful)
            reason = QLatin1String(kNoResult);
        putProgressText(table, target,
                        successful ? QStringLiteral("Successful") : QStringLiteral("Fail"), reason);
        enableSendButton(table, target);
        break;
    }
    case Thread::UPDATE_PROGRESS: {
        const int target = currentRow();
        if (target >= 0)
            putProgressText(table, target,
                            percentText(verifying ? progress * kWritingShare : progress),
                            tr("writing"));
        break;
    }
    case Thread::UPDATE_VERIFY_PROGRESS: {
        const int target = verifying ? currentRow() : -1;
        if (target >= 0)
            putProgressText(table, target,
                            percentText(kWritingShare + progress * (1.0 - kWritingShare)),
                            tr("reading the flash back"));
        break;
    }
    case Thread::UPDATE_CONNECT_FAILED: {
        // The row says why before the box holds the user's attention.
        const int target = currentRow();
        const QString reason = reporter ? reporter->failure_text() : QLatin1String(kUnreached);
        const QString ip = reporter ? module : cellText(table, target, IpColumn);
        const QString name = cellText(table, target, NameColumn);
        if (target >= 0)
            putProgressText(table, target, QStringLiteral("Fail"), reason);
        showConnectServerFail(name, ip);
        // The box ran an event loop: rows may have moved meanwhile.
        const int after = currentRow();
        if (after >= 0)
            enableSendButton(table, after);
        break;
    }
    default:
        break;
    }
}

void Widget::showConnectServerFail(const QString &name, const QString &ip)
{
    // Kept as users know it: see docs/kept-from-the-design.md.
    QString text
        = tr("connect server fail ") + tr("\n the server does not exist or has been occupied");
    if (!ip.isEmpty())
        text += name.isEmpty() ? tr("\n module at %1").arg(ip)
                               : tr("\n module %1 at %2").arg(name, ip);
    QMessageBox::critical(this, tr("connect server fail"), text, QMessageBox::Ok,
                          QMessageBox::NoButton);
}
