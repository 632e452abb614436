#include "announcer.h"

#include "common/names.h"

namespace {
constexpr int kFirstModuleHost = 2;
constexpr int kHostsPerOctet = 250;
} // namespace

Announcer::Announcer(const QString &address)
{
    bound = socket.bind(QHostAddress(address), 0);
}

bool Announcer::send(const QByteArray &payload)
{
    return socket.writeDatagram(payload, QHostAddress(QHostAddress::LocalHost), kAnnouncementPort)
        == payload.size();
}

QByteArray Announcer::announcement(const QString &ip, const QString &dataPort,
                                   const QString &atPort, const QString &name)
{
    return QStringLiteral("{\"host ip\":\"%1\",\"data port\":\"%2\",\"atcomd port\":\"%3\","
                          "\"hostname\":\"%4\"}")
        .arg(ip, dataPort, atPort, name)
        .toUtf8();
}

QString moduleAddress(int n)
{
    return QStringLiteral("127.0.%1.%2")
        .arg(n / kHostsPerOctet)
        .arg(kFirstModuleHost + n % kHostsPerOctet);
}
