#include "atportserver.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
const char kReply[] = "OK\r\n";
}

AtPortServer::AtPortServer(const QHostAddress &address, Reply reply)
    : address(address)
    , reply(reply)
{
}

AtPortServer::~AtPortServer()
{
    quit();
    wait();
}

bool AtPortServer::listen()
{
    start();
    ready.acquire();
    return listening;
}

QList<QByteArray> AtPortServer::exchanges() const
{
    QMutexLocker lock(&mutex);
    return finished;
}

void AtPortServer::run()
{
    QTcpServer server;
    listening = server.listen(address, 0);
    boundPort = server.serverPort();
    ready.release();
    if (!listening)
        return;

    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto received = QSharedPointer<QByteArray>::create();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
                const bool first = received->isEmpty();
                received->append(socket->readAll());
                if (first && reply == Answer)
                    socket->write(kReply);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket, received] {
                received->append(socket->readAll());
                QMutexLocker lock(&mutex);
                finished.append(*received);
                socket->deleteLater();
            });
        }
    });
    exec();
}
