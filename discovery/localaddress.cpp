#include "discovery/localaddress.h"

#include <QHostAddress>
#include <QNetworkInterface>

QString firstIPv4Address()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address.toString();
    }
    return QString();
}

bool isOwnAnnouncement(const QHostAddress &sender, const QString &hostAddress)
{
    return !hostAddress.isNull() && sender.toString() == hostAddress;
}
