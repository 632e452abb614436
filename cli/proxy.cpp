#include "cli/proxy.h"

#include "cli/interruption.h"
#include "cli/output.h"
#include "cli/targets.h"
#include "upload/boards.h"
#include "upload/moduleopen.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace {
QString endpoint(const QHostAddress &address, quint16 port)
{
    return bracketedAddress(address.toString()) + QLatin1Char(':') + QString::number(port);
}

// Gives what is still buffered a moment to leave, then closes.
void closeGently(QTcpSocket *socket)
{
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(Proxy::kCloseTimeoutMs);
    }
    socket->abort();
    socket->deleteLater();
}
} // namespace

Proxy::Proxy(const Target &target, AtFamily family, int idleMs, QObject *parent)
    : QObject(parent)
    , target(target)
    , family(family)
{
    // Qt accepts no second connection while one waits to be taken: the
    // others stay in the system's listen queue.
    server.setMaxPendingConnections(1);
    connect(&server, &QTcpServer::newConnection, this, &Proxy::accept);
    idle.setSingleShot(true);
    idle.setInterval(idleMs);
    connect(&idle, &QTimer::timeout, this, &Proxy::closeIdleSession);
}

Proxy::~Proxy()
{
    closeSession();
}

bool Proxy::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (server.listen(address, port))
        return true;
    *error = QStringLiteral("cannot listen on %1: %2")
                 .arg(endpoint(address, port), server.errorString());
    return false;
}

int Proxy::run(int clients, int limitMs)
{
    clientLimit = clients;
    QEventLoop loop;
    int status = kExitSuccess;
    const QMetaObject::Connection ending = connect(this, &Proxy::ended, &loop, [&](int exitStatus) {
        status = exitStatus;
        loop.quit();
    });
    Interruption stop(Interruption::kDeliverAll, Interruption::Hangup::Default);
    connect(&stop, &Interruption::requested, &loop, &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (limitMs > 0)
        limit.start(limitMs);
    loop.exec();
    disconnect(ending);
    server.close();
    closeSession();
    return status;
}

void Proxy::accept()
{
    // One client at a time: the board has one serial line. The next is
    // taken when this one is done.
    if (client || !server.hasPendingConnections())
        return;
    server.pauseAccepting();
    client = server.nextPendingConnection();
    printLine(QStringLiteral("Client %1 connected; resetting the board")
                  .arg(endpoint(client->peerAddress(), client->peerPort())));
    // The client's first bytes wait in its socket until the board is in its
    // bootloader; they are meant for it, not for the old program.
    QString error;
    if (!openModule(&error)) {
        printError(error + QStringLiteral("; nothing was passed to the module"));
        closeSession();
        emit ended(kExitFailure);
        return;
    }
    passing = true;
    connect(client, &QTcpSocket::readyRead, this, [this] {
        idle.start();
        data->write(client->readAll());
    });
    connect(data, &QTcpSocket::readyRead, this, [this] {
        idle.start();
        client->write(data->readAll());
    });
    connect(client, &QTcpSocket::disconnected, this, [this] {
        data->write(client->readAll());
        closeSession();
    });
    connect(data, &QTcpSocket::disconnected, this, [this] {
        client->write(data->readAll());
        printError(QStringLiteral("the module closed the data connection"));
        closeSession();
    });
    idle.start();
    if (client->bytesAvailable() > 0)
        data->write(client->readAll());
    if (client->state() != QAbstractSocket::ConnectedState)
        closeSession();
}

void Proxy::closeIdleSession()
{
    if (!client)
        return;
    printError(QStringLiteral("client %1 sent and received nothing for %2 s; it lost the board")
                   .arg(endpoint(client->peerAddress(), client->peerPort()))
                   .arg(QString::number(idle.interval() / kMsecsPerSecond, 'g', 6)));
    closeSession();
}

bool Proxy::openModule(QString *error)
{
    data = new QTcpSocket(this);
    at = new QTcpSocket(this);
    // What the old program sent before the reset is not the bootloader's: it
    // is drained off, not passed on.
    const ModuleOpening opened
        = ::openModule(data, at, target.address, target.dataPort, target.atPort, family);
    switch (opened.failed) {
    case ModuleOpening::Failure::None:
        break;
    case ModuleOpening::Failure::DataPort:
        *error = QStringLiteral("cannot connect to the data port %1:%2: %3")
                     .arg(bracketedAddress(target.address))
                     .arg(target.dataPort)
                     .arg(data->errorString());
        return false;
    case ModuleOpening::Failure::AtPort:
        *error = QStringLiteral("cannot connect to the AT port %1:%2: %3")
                     .arg(bracketedAddress(target.address))
                     .arg(target.atPort)
                     .arg(at->errorString());
        return false;
    case ModuleOpening::Failure::Handshake:
        *error = QStringLiteral("the board was not reset: ") + opened.handshake.failure;
        return false;
    }
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

void Proxy::closeSession()
{
    if (!client && !data && !at)
        return;
    const bool servedClient = passing;
    passing = false;
    idle.stop();
    closeGently(client);
    closeGently(data);
    closeGently(at);
    client = data = at = nullptr;
    if (servedClient) {
        ++served;
        printLine(QStringLiteral("Client done (%1 served)").arg(served));
        if (clientLimit > 0 && served >= clientLimit) {
            emit ended(kExitSuccess);
            return;
        }
    }
    // The client waiting in the queue, if any, is next.
    server.resumeAccepting();
    QMetaObject::invokeMethod(this, &Proxy::accept, Qt::QueuedConnection);
}

int runProxy(const Options &options)
{
    const std::optional<Target> target = resolveSingleTarget(options);
    if (!target)
        return kExitFailure;
    const Board *board = boardNamed(options.board);
    const AtFamily family = board ? board->resetFamily : AtFamily::Mega;
    Proxy proxy(*target, family, static_cast<int>(options.idleSeconds * kMsecsPerSecond));
    QString error;
    const QHostAddress address(options.listenAddress);
    if (!proxy.listen(address, options.listenPort, &error)) {
        printError(error);
        return kExitFailure;
    }
    printLine(QStringLiteral("Listening on %1 for %2 (%3)")
                  .arg(endpoint(address, proxy.port()), target->text(), options.board));
    if (!address.isLoopback())
        printError(QStringLiteral("warning: %1 is not a loopback address: anyone who can reach "
                                  "port %2 can reset and flash the board")
                       .arg(address.toString())
                       .arg(proxy.port()));
    return proxy.run(options.clients,
                     options.secondsGiven ? static_cast<int>(options.seconds * kMsecsPerSecond)
                                          : 0);
}
