#include "cli/proxy.h"

#include "cli/consoleinput.h"
#include "cli/monitor.h"
#include "upload/boards.h"
#include "upload/moduleopen.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int kMaxClients = 1000000;

void printError(const QString &text)
{
    std::fprintf(stderr, "rudireze-cli: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void printLine(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

QString endpoint(const QHostAddress &address, quint16 port)
{
    const QString text = address.toString();
    return (address.protocol() == QAbstractSocket::IPv6Protocol
                ? QLatin1Char('[') + text + QLatin1Char(']')
                : text)
        + QLatin1Char(':') + QString::number(port);
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
    StopRequests stop;
    connect(&stop, &StopRequests::requested, &loop, &QEventLoop::quit);
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
                     .arg(target.address)
                     .arg(target.dataPort)
                     .arg(data->errorString());
        return false;
    case ModuleOpening::Failure::AtPort:
        *error = QStringLiteral("cannot connect to the AT port %1:%2: %3")
                     .arg(target.address)
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

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString addressText = text.left(colon);
    if (addressText.startsWith(QLatin1Char('[')) && addressText.endsWith(QLatin1Char(']')))
        addressText = addressText.mid(1, addressText.size() - 2);
    const QHostAddress address(addressText);
    const QString portText = text.mid(colon + 1);
    const std::optional<quint16> port
        = portText == QLatin1String("0") ? std::optional<quint16>(0) : parsePort(portText);
    if (address.isNull() || !port)
        return std::nullopt;
    return std::make_pair(address, *port);
}

bool applyProxyOption(Options &options, const QString &name, const QString &value, QString *error)
{
    if (name == QLatin1String("listen")) {
        const auto listen = parseListenAddress(value);
        if (!listen) {
            *error = QStringLiteral("bad --listen '%1': ADDRESS:PORT with an IP address and a "
                                    "port from 0 (any free one) to 65535")
                         .arg(value);
            return true;
        }
        options.listenAddress = listen->first.toString();
        options.listenPort = listen->second;
    } else if (name == QLatin1String("idle")) {
        const std::optional<double> seconds = parseSeconds(value, kMaxListenSeconds);
        if (!seconds)
            *error = QStringLiteral("bad --idle '%1': seconds above 0, at most %2")
                         .arg(value)
                         .arg(kMaxListenSeconds);
        else
            options.idleSeconds = *seconds;
    } else if (name == QLatin1String("clients")) {
        bool ok = false;
        const int clients = value.toInt(&ok);
        if (!ok || clients < 1 || clients > kMaxClients)
            *error = QStringLiteral("bad --clients '%1': a number from 1 to %2")
                         .arg(value)
                         .arg(kMaxClients);
        else
            options.clients = clients;
    } else {
        return false;
    }
    return true;
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

QString proxyUsageText()
{
    return QStringLiteral(R"(Usage: rudireze-cli proxy TARGET --board BOARD [--listen ADDRESS:PORT]
                           [--clients N] [--idle S] [--seconds N]
       rudireze-cli proxy --name NAME --board BOARD [options]

Opens a local TCP port for programs that speak STK500 themselves (avrdude,
for one). For each client that connects, the board is reset into its
bootloader with the module's AT handshake, the module's data port is
connected, and bytes pass both ways unchanged until either side closes, or
until nothing has passed either way for the idle time. One client at a time:
the next one waits in the listen queue until the board is free. Nothing
reaches the module unless the reset succeeded. Anyone who can reach the port
can reset and flash the board: an address other than loopback is warned of.

  TARGET            IP:DATAPORT:ATPORT of a module
  --name NAME       the module announcing this name (heard within 3 s)
  --board BOARD     UNO (AT+MCUUPDATE=UNO) or MEGA2560, Orvex3, Orvex0
                    (AT+MCUUPDATE=MEGA)
  --listen A:PORT   where to listen (default 127.0.0.1 and a free port;
                    [IPv6]:PORT, port 0 for a free one); the address and
                    port taken are printed first
  --clients N       end after N clients were served
  --idle S          a client that sends and receives nothing for S seconds
                    loses the board (default 30)
  --seconds N       end after N seconds (decimals allowed, at most 3600)
  -h, --help        show this text

Example, with the port printed at the start:
  avrdude -p m328p -c arduino -P net:127.0.0.1:PORT -U flash:w:sketch.hex:i
  avrdude -p m2560 -c wiring -P net:127.0.0.1:PORT -D -U flash:w:sketch.hex:i

Exit status: 0 when it ended as asked (or by Ctrl-C), 1 when the port
cannot be listened on or the module could not be reached or reset (the
client is closed then), 2 for a usage error.
)");
}
