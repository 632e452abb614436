#include "cli/proxy.h"

#include "cli/output.h"
#include "cli/targets.h"
#include "platform/interruption.h"
#include "platform/socketpeek.h"
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

// Everything the socket holds, without reading past it: a second read of an
// unbuffered socket at the end of the stream would close it.
QByteArray takeAvailable(QAbstractSocket *socket)
{
    const qint64 available = socket->bytesAvailable();
    return available > 0 ? socket->read(available) : QByteArray();
}

// Gives what is still buffered a moment to leave, then closes.
void closeGently(QAbstractSocket *socket)
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

ClientListener::ClientListener()
{
    // Qt accepts no connection beyond this many waiting to be taken.
    setMaxPendingConnections(1);
}

qintptr ClientListener::take()
{
    const qintptr descriptor = taken;
    taken = -1;
    return descriptor;
}

void ClientListener::acceptNext()
{
    setMaxPendingConnections(1);
    resumeAccepting();
}

void ClientListener::incomingConnection(qintptr descriptor)
{
    taken = descriptor;
    // No pending connection is counted for a descriptor kept here: with room
    // for none, Qt accepts no further one and the others stay queued.
    setMaxPendingConnections(0);
    pauseAccepting();
}

Proxy::Proxy(const Target &target, AtFamily family, int idleMs, QObject *parent)
    : QObject(parent)
    , target(target)
    , family(family)
{
    connect(&server, &QTcpServer::newConnection, this, &Proxy::accept);
    idle.setSingleShot(true);
    idle.setInterval(idleMs);
    connect(&idle, &QTimer::timeout, this, &Proxy::closeIdleSession);
    finishing.setSingleShot(true);
    finishing.setInterval(kCloseTimeoutMs);
    connect(&finishing, &QTimer::timeout, this, &Proxy::closeSession);
}

Proxy::~Proxy()
{
    closeSession();
}

bool Proxy::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (server.listen(address, port)) {
        if (target.address.isEmpty())
            server.pauseAccepting();
        return true;
    }
    *error = QStringLiteral("cannot listen on %1: %2")
                 .arg(endpoint(address, port), server.errorString());
    return false;
}

void Proxy::setTarget(const Target &module)
{
    target = module;
    server.acceptNext();
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
    connect(&stop, &Interruption::requested, &loop, [&] {
        // Ctrl-C is how a proxy is ended; SIGTERM tells a script it was killed.
        if (stop.exitStatus() == Interruption::kSignalExitBase + Interruption::kSigTerm)
            status = stop.exitStatus();
        loop.quit();
    });
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
    if (client)
        return;
    const qintptr descriptor = server.take();
    if (descriptor < 0)
        return;
    client = new QAbstractSocket(QAbstractSocket::TcpSocket, this);
    if (!client->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        printError(QStringLiteral("cannot take a client's connection: ") + client->errorString());
        delete client;
        client = nullptr;
        server.acceptNext();
        return;
    }
    printLine(QStringLiteral("Client %1 connected; resetting the board")
                  .arg(endpoint(client->peerAddress(), client->peerPort())));
    // What it sent while it waited its turn (a program's retries pile up
    // there) is no command for the board about to be reset: passed on all at
    // once, it would draw as many answers.
    takeAvailable(client);
    // What it sends from now on waits in its socket until the board is in
    // its bootloader; it is meant for it, not for the old program.
    QString error;
    if (!openModule(&error)) {
        printError(error + QStringLiteral("; nothing was passed to the module"));
        over = true;
        closeSession();
        emit ended(kExitFailure);
        return;
    }
    passing = true;
    connect(client, &QAbstractSocket::readyRead, this, &Proxy::clientReadable);
    connect(data, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = data->readAll();
        // Only a write to a client that is gone tells that it has closed
        // completely; an unbuffered socket says so by the write's result alone.
        if (client->write(bytes) < 0) {
            closeSession();
            return;
        }
        if (finishing.isActive() && !bytes.isEmpty())
            finishing.start();
    });
    connect(client, &QAbstractSocket::disconnected, this, &Proxy::closeSession);
    connect(data, &QTcpSocket::disconnected, this, [this] {
        client->write(data->readAll());
        printError(QStringLiteral("the module closed the data connection"));
        closeSession();
    });
    idle.start();
    clientReadable();
}

void Proxy::clientReadable()
{
    if (!client || finishing.isActive())
        return;
    const QByteArray bytes = takeAvailable(client);
    if (!bytes.isEmpty()) {
        idle.start();
        data->write(bytes);
    } else if (peerDoneSending(client->socketDescriptor())) {
        clientFinished();
    }
}

void Proxy::clientFinished()
{
    // It may have only closed its sending side and still wait for the
    // board's answers to what it sent: they go on to it until the board has
    // been quiet a moment, or until a write finds the client gone. Its
    // silence from now on is no idleness.
    idle.stop();
    finishing.start();
}

void Proxy::closeIdleSession()
{
    if (!client)
        return;
    printError(QStringLiteral("client %1 sent nothing for %2 s; it lost the board")
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
    finishing.stop();
    closeGently(client);
    closeGently(data);
    closeGently(at);
    client = data = at = nullptr;
    if (servedClient) {
        ++served;
        printLine(QStringLiteral("Client done (%1 served)").arg(served));
        if (clientLimit > 0 && served >= clientLimit) {
            over = true;
            emit ended(kExitSuccess);
            return;
        }
    }
    // The client waiting in the queue, if any, is next.
    if (!over)
        server.acceptNext();
}

int runProxy(const Options &options)
{
    const AtFamily family = options.board ? options.board->resetFamily : AtFamily::Mega;
    Proxy proxy(Target(), family, static_cast<int>(options.idleSeconds * kMsecsPerSecond));
    QString error;
    const QHostAddress address(options.listenAddress);
    // A port in use shows at once, not after the name was listened for.
    if (!proxy.listen(address, options.listenPort, &error)) {
        printError(error);
        return kExitFailure;
    }
    const std::optional<Target> target = resolveSingleTarget(options);
    if (!target)
        return kExitFailure;
    proxy.setTarget(*target);
    printLine(QStringLiteral("Listening on %1 for %2 (%3)")
                  .arg(endpoint(address, proxy.port()), target->text(), options.boardName()));
    if (!address.isLoopback())
        printError(QStringLiteral("warning: %1 is not a loopback address: anyone who can reach "
                                  "port %2 can reset and flash the board")
                       .arg(address.toString())
                       .arg(proxy.port()));
    return proxy.run(options.clients,
                     options.secondsGiven ? static_cast<int>(options.seconds * kMsecsPerSecond)
                                          : 0);
}

namespace {
QString setListen(Options &options, const QString &value)
{
    const auto listen = parseListenAddress(value);
    if (!listen)
        return QStringLiteral("bad --listen '%1': ADDRESS:PORT with an IP address and a port "
                              "from 0 (any free one) to %2")
            .arg(value)
            .arg(kMaxPort);
    options.listenAddress = listen->first.toString();
    options.listenPort = listen->second;
    return QString();
}

QString setClients(Options &options, const QString &value)
{
    return takeCount(&options.clients, value, kMaxProxyClients,
                     "bad --clients '%1': a number from 1 to %2");
}

QString setIdle(Options &options, const QString &value)
{
    return takeSeconds(&options.idleSeconds, value, kMaxListenSeconds,
                       "bad --idle '%1': seconds above 0, at most %2");
}

const Option kListenOption { "--listen A:PORT", setListen };
const Option kClientsOption { "--clients N", setClients };
const Option kIdleOption { "--idle S", setIdle };
} // namespace

const CommandEntry kProxyCommand {
    Command::Proxy,
    "proxy",
    "a local port for programs that speak STK500 themselves",
    QStringLiteral(R"(Usage: rudireze-cli proxy TARGET --board BOARD [--listen ADDRESS:PORT]
                           [--clients N] [--idle S] [--seconds N]
       rudireze-cli proxy --name NAME --board BOARD [options]

Opens a local TCP port for programs that speak STK500 themselves (avrdude,
for one). For each client that connects, the board is reset into its
bootloader with the module's AT handshake, the module's data port is
connected, and bytes pass both ways unchanged until either side closes, or
until the client has sent nothing for the idle time. A client that closes
only its sending side still gets the board's answers until it closes, or
until the board has been quiet for a second. One client at a time: the next one waits in the
listen queue until the board is free, and what it sends while it waits is
thrown away when its turn comes, as if it had connected just then. Nothing
reaches the module unless the reset succeeded. Anyone who can reach the port
can reset and flash the board: an address other than loopback is warned of.

)"),
    18,
    { { &kTargetArgument, QStringLiteral("IP:DATAPORT:ATPORT of a module") },
      { &kNameOption, namedModuleHelp() },
      { &kBoardOption,
        QStringLiteral("UNO (AT+MCUUPDATE=UNO) or MEGA2560, Orvex3, Orvex0\n"
                       "(AT+MCUUPDATE=MEGA)") },
      { &kListenOption,
        QStringLiteral("where to listen (default 127.0.0.1 and a free port;\n"
                       "[IPv6]:PORT, port 0 for a free one); the address and\n"
                       "port taken are printed first") },
      { &kClientsOption, QStringLiteral("end after N clients were served") },
      { &kIdleOption,
        QStringLiteral("a client that sends nothing for S seconds loses the\n"
                       "board, whatever the board sends (default %1)")
            .arg(kDefaultProxyIdleSeconds) },
      { &kSecondsOption, secondsEndHelp() },
      verboseRow(),
      helpRow() },
    QStringLiteral(R"(
Example, with the port printed at the start:
  avrdude -p m328p -c arduino -P net:127.0.0.1:PORT -U flash:w:sketch.hex:i
  avrdude -p m2560 -c wiring -P net:127.0.0.1:PORT -D -U flash:w:sketch.hex:i

Exit status: 0 when it ended as asked (or by Ctrl-C), 1 when the port
cannot be listened on or the module could not be reached or reset (the
client is closed then), 143 when SIGTERM ended it, )")
        + QLatin1String(kExitUsageHelp),
    singleTargetPositionals,
    nullptr,
    runProxy,
};
