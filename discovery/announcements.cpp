#include "app/widget.h"

void Widget::processPendingDatagrams() {}

void Widget::refreshLiveness(QString ip)
{
    Q_UNUSED(ip)
}

void Widget::sweepLiveness() {}
