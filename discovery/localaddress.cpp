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
    if (hostAddress.isNull())
        return false;
    // A socket bound to the any-address receives IPv4 datagrams from
    // IPv4-mapped IPv6 senders ("::ffff:127.0.0.1"); the host's address is
    // IPv4 text, so the sender is compared in its IPv4 form.
    bool isIPv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIPv4);
    const QString senderText = isIPv4 ? QHostAddress(ipv4).toString() : sender.toString();
    return senderText == hostAddress;
}
