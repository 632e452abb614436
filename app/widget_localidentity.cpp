#include "app/widget.h"

#include "discovery/localaddress.h"
#include "platform/username.h"

QString Widget::localIPv4Address()
{
    return firstIPv4Address();
}

QString Widget::currentUserName()
{
    return loginUserName();
}
