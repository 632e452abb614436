#include "app/widget.h"

void Widget::addDeviceRow(QString ip, QString dataPort, QString atPort, QString name)
{
    Q_UNUSED(ip)
    Q_UNUSED(dataPort)
    Q_UNUSED(atPort)
    Q_UNUSED(name)
}

void Widget::lockTableCells() {}

void Widget::participantLeft(QString ip)
{
    Q_UNUSED(ip)
}
