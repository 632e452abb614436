#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QUdpSocket>

// A module stand-in that sends datagrams to the window's port 3333 on
// 127.0.0.1 from a loopback address of its own (127.0.0.2 and up).
class Announcer
{
public:
    explicit Announcer(const QString &address);

    bool isBound() const { return bound; }
    bool send(const QByteArray &payload);

    // An announcement as a module writes it.
    static QByteArray announcement(const QString &ip, const QString &dataPort,
                                   const QString &atPort, const QString &name);

private:
    QUdpSocket socket;
    bool bound = false;
};

// The n-th loopback address handed to modules: 127.0.0.2, 127.0.0.3, ...
QString moduleAddress(int n);
