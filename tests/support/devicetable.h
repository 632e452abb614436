#pragma once

#include "app/devicecolumns.h"
#include "widgetprobe.h"

#include <QObject>
#include <QStringList>
#include <QTableWidget>

// The window's device table as tests read it: a module's row and cells by its
// address, and the texts its progress cell went through.
inline QTableWidget *deviceTable(Widget &window)
{
    return WidgetProbe(window).ui().userTableWidget;
}

// -1 while no row shows the address.
inline int rowOf(Widget &window, const QString &ip)
{
    QTableWidget *rows = deviceTable(window);
    for (int row = 0; row < rows->rowCount(); ++row) {
        const QTableWidgetItem *item = rows->item(row, IpColumn);
        if (item && item->text() == ip)
            return row;
    }
    return -1;
}

// A cell's text in a module's row; empty while no row shows the address.
inline QString cellOf(Widget &window, const QString &ip, int column)
{
    const int row = rowOf(window, ip);
    const QTableWidgetItem *item = row < 0 ? nullptr : deviceTable(window)->item(row, column);
    return item ? item->text() : QString();
}

inline QString progressOf(Widget &window, const QString &ip)
{
    return cellOf(window, ip, ProgressColumn);
}

// Every distinct text the progress cell of one module's row showed, in order,
// wherever the row was at the time.
class ProgressRecorder : public QObject
{
public:
    ProgressRecorder(Widget &window, const QString &ip)
        : window(window)
        , ip(ip)
    {
        connect(deviceTable(window), &QTableWidget::itemChanged, this,
                [this](QTableWidgetItem *item) {
                    if (item->column() != ProgressColumn
                        || item->row() != rowOf(this->window, this->ip))
                        return;
                    if (texts.isEmpty() || texts.last() != item->text())
                        texts.append(item->text());
                });
    }

    QStringList texts;

private:
    Widget &window;
    QString ip;
};
