#include "app/widget.h"

QString Widget::localIPv4Address()
{
    return QString();
}

QString Widget::currentUserName()
{
    return QString();
}
