#include "app/widget.h"

void Widget::on_userTableWidget_itemChanged(QTableWidgetItem *item)
{
    Q_UNUSED(item)
}
