#include "app/widget.h"

bool Widget::convert_hex_file(QString path)
{
    Q_UNUSED(path)
    return false;
}
