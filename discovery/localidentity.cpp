#include "app/widget.h"

#include "platform/username.h"

#include <QNetworkInterface>

QString Widget::localIPv4Address()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address.toString();
    }
    return QString();
}

QString Widget::currentUserName()
{
    return loginUserName();
}
