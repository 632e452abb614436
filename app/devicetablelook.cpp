#include "app/devicetablelook.h"

#include "common/names.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QTableWidget>

void MiddleOfTheRow::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (!(option->displayAlignment & Qt::AlignVertical_Mask))
        option->displayAlignment |= Qt::AlignVCenter;
}

EmptyTableHint::EmptyTableHint(QTableWidget *table, const QString &text)
    : QObject(table)
    , table(table)
    , hint(text)
{
    table->viewport()->installEventFilter(this);
}

bool EmptyTableHint::eventFilter(QObject *watched, QEvent *event)
{
    // Drawn before the table paints its (absent) rows, over the background
    // the viewport already has.
    if (event->type() == QEvent::Paint && watched == table->viewport() && table->rowCount() == 0) {
        QWidget *viewport = table->viewport();
        QPainter painter(viewport);
        QFont font = table->font();
        font.setBold(false);
        painter.setFont(font);
        painter.setPen(table->palette().color(QPalette::PlaceholderText));
        const QRect area = viewport->rect();
        const QString shown = painter.fontMetrics().elidedText(hint, Qt::ElideRight, area.width());
        painter.drawText(area, Qt::AlignCenter, shown);
    }
    return QObject::eventFilter(watched, event);
}

void dressDeviceTable(QTableWidget *table)
{
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->setItemDelegate(new MiddleOfTheRow(table));
    new EmptyTableHint(
        table,
        QCoreApplication::translate("Widget", "Waiting for modules announcing on UDP port %1")
            .arg(kAnnouncementPort));
}
