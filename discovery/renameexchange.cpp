#include "discovery/renameexchange.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

namespace {
const char kHostNamePrefix[] = "AT+HOSTNAME=";
}

QString hostNameProblem(const QString &name)
{
    if (name.size() > kMaxHostNameLength)
        return QStringLiteral("a name has at most %1 characters").arg(kMaxHostNameLength);
    // Judged on the bytes that would be sent.
    const QByteArray bytes = name.toLatin1();
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (QChar(c).category() == QChar::Other_Control)
            return QStringLiteral("a name cannot hold control characters");
    }
    if (bytes.toUpper().contains("AT+"))
        return QStringLiteral("a name cannot hold \"AT+\"");
    return QString();
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
    if (!socket.waitForConnected(kModuleConnectTimeoutMs))
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
