#include "app/widget.h"

void Widget::deal_ui(int row, int status, float progress)
{
    Q_UNUSED(row)
    Q_UNUSED(status)
    Q_UNUSED(progress)
}
