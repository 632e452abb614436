#include "app/widget.h"

void Widget::find_build_dir() {}

void Widget::find_hex_in_dir(QString dir)
{
    Q_UNUSED(dir)
}

void Widget::read_generate_time(QString path)
{
    Q_UNUSED(path)
}
