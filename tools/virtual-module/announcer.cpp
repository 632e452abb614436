#include "announcer.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
// A JSON string literal, quotes and escapes included.
QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}
} // namespace

Announcer::Announcer(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &Announcer::send);
}

QByteArray Announcer::announcementText(const QString &hostIp, quint16 dataPort, quint16 atPort,
                                       const QString &hostname)
{
    return "{\"host ip\":" + jsonString(hostIp)
        + ",\"data port\":" + jsonString(QString::number(dataPort)) + ",\"atcomd port\":"
        + jsonString(QString::number(atPort)) + ",\"hostname\":" + jsonString(hostname) + "}";
}

bool Announcer::start(const QHostAddress &from, const QHostAddress &to, quint16 port,
                      int intervalMs, Payload payload, QString *error)
{
    if (!socket.bind(from, 0)) {
        if (error)
            *error = QStringLiteral("cannot send announcements from %1: %2")
                         .arg(from.toString(), socket.errorString());
        return false;
    }
    target = to;
    targetPort = port;
    this->payload = std::move(payload);
    running.start();
    send();
    timer.start(intervalMs);
    return true;
}

void Announcer::stop()
{
    timer.stop();
    socket.close();
}

void Announcer::setStopAfterMs(int ms)
{
    stopAfterMs = ms;
}

void Announcer::send()
{
    if (stopAfterMs >= 0 && running.elapsed() >= stopAfterMs) {
        timer.stop();
        return;
    }
    const QByteArray datagram = payload();
    socket.writeDatagram(datagram, target, targetPort);
    emit announced(datagram);
}
