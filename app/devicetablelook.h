#pragma once

#include <QObject>
#include <QString>
#include <QStyledItemDelegate>

class QTableWidget;

// Cells whose alignment names no vertical place are drawn in the middle of
// their row, level with the board box and the Upload button beside them;
// the items keep the alignment they were given.
class MiddleOfTheRow : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};

// Draws one line into the viewport of a table that has no rows, telling what
// it waits for; nothing is added to the table or its layout.
class EmptyTableHint : public QObject
{
    Q_OBJECT

public:
    EmptyTableHint(QTableWidget *table, const QString &text);

    const QString &text() const { return hint; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTableWidget *table;
    QString hint;
};

// The device table's look: columns that share the width, cells in the middle
// of their rows, and the hint while no module is listed.
void dressDeviceTable(QTableWidget *table);
