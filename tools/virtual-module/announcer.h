#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <functional>

// Sends a module's announcement datagram from the module's own address to
// the listening host, at once and then at a fixed interval.
class Announcer : public QObject
{
    Q_OBJECT

public:
    using Payload = std::function<QByteArray()>;

    explicit Announcer(QObject *parent = nullptr);

    // The announcement a module sends: the four keys the listener knows,
    // ports as decimal texts.
    static QByteArray announcementText(const QString &hostIp, quint16 dataPort, quint16 atPort,
                                       const QString &hostname);

    bool start(const QHostAddress &from, const QHostAddress &to, quint16 port, int intervalMs,
               Payload payload, QString *error);
    void stop();
    // Falls silent once this long after start() has passed; -1: never.
    void setStopAfterMs(int ms);

signals:
    void announced(const QByteArray &datagram);

private:
    void send();

    QUdpSocket socket;
    QTimer timer;
    QElapsedTimer running;
    QHostAddress target;
    quint16 targetPort = 0;
    Payload payload;
    int stopAfterMs = -1;
};
