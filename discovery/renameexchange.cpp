#include "discovery/renameexchange.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

namespace {
const char kHostNamePrefix[] = "AT+HOSTNAME=";
}

QByteArray hostNameCommand(const QString &name)
{
    return (QLatin1String(kHostNamePrefix) + name).toLatin1();
}

bool sendHostName(const QString &host, quint16 port, const QString &name)
{
    const QHostAddress address(host);
    if (address.isNull())
        return false;

    QTcpSocket socket;
    socket.connectToHost(address, port, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kRenameConnectTimeoutMs))
        return false;

    socket.write(hostNameCommand(name));
    socket.flush();
    socket.waitForReadyRead(kRenameReplyTimeoutMs);
    char reply[kRenameReplyBufferSize] = {};
    socket.read(reply, sizeof reply);

    QObject::disconnect(&socket, nullptr, nullptr, nullptr);
    socket.close();
    return true;
}
