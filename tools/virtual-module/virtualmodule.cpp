#include "virtualmodule.h"

#include "announcer.h"
#include "atcommandparser.h"
#include "bootloader.h"
#include "emulatedboard.h"
#include "simulatedbridge.h"

#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const QByteArray kAtOk = QByteArrayLiteral("OK\r\n");
const QByteArray kAtError = QByteArrayLiteral("ERROR\r\n");
// An AT text without a known end is complete once the sender is this quiet.
constexpr int kAtQuietMs = 50;
// The extra byte of a reply that is one byte too long.
constexpr char kStrayByte = 0x00;
constexpr int kLogHexBytes = 24;
constexpr quint32 kLastAddressByte = 0xFF;

// An AT connection's own state: its parser and the quiet timer that
// completes a text without a known end.
class AtSession : public QObject
{
public:
    explicit AtSession(QTcpSocket *socket)
        : QObject(socket)
    {
        quiet.setSingleShot(true);
        quiet.setInterval(kAtQuietMs);
    }
    AtCommandParser parser;
    QTimer quiet;
};

QString printable(const QByteArray &bytes)
{
    QString out;
    for (char c : bytes) {
        if (c >= ' ' && c < 0x7F)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
    }
    return out;
}
} // namespace

QString boardTypeName(BoardType board)
{
    return board == BoardType::Uno ? QStringLiteral("uno") : QStringLiteral("mega");
}

QString bridgeModeName(BridgeMode mode)
{
    switch (mode) {
    case BridgeMode::Bytes:
        return QStringLiteral("bytes");
    case BridgeMode::Random:
        return QStringLiteral("random");
    case BridgeMode::Packed:
        break;
    }
    return QStringLiteral("packed");
}

VirtualModule::VirtualModule(const ModuleOptions &options, QObject *parent)
    : QObject(parent)
    , settings(options)
{
    hostname = settings.name;
    if (hostname.isEmpty())
        hostname
            = QStringLiteral("vmodule-%1").arg(settings.address.toIPv4Address() & kLastAddressByte);
    announcer = new Announcer(this);
    connect(announcer, &Announcer::announced, this, [this](const QByteArray &datagram) {
        ++counts.announcements;
        emit announced(datagram);
    });
    atServer = new QTcpServer(this);
    connect(atServer, &QTcpServer::newConnection, this, &VirtualModule::onAtConnection);
    dataServer = new QTcpServer(this);
    connect(dataServer, &QTcpServer::newConnection, this, &VirtualModule::onDataConnection);
    if (settings.simulatedBoard)
        boardSide = new SimulatedBridge(settings, this);
    else
        boardSide = new EmulatedBoard(
            settings,
            [this](quint8 byte, Bootloader &bootloader) { return boardByte(byte, bootloader); },
            this);
    boardSide->setClientReader([this](qint64 maxBytes) { return readClient(maxBytes); });
    connect(boardSide, &ModuleBoard::toClient, this, &VirtualModule::sendToClient);
    connect(boardSide, &ModuleBoard::bytesLost, this, &VirtualModule::loseBytes);
    applyFaults();
}

// A simulated board's commands are not seen, only its bytes: those are logged.
QByteArray VirtualModule::readClient(qint64 maxBytes)
{
    if (!dataClient)
        return QByteArray();
    const QByteArray bytes
        = maxBytes == ModuleBoard::kAllBytes ? dataClient->readAll() : dataClient->read(maxBytes);
    counts.dataBytesIn += bytes.size();
    if (logging && settings.simulatedBoard && !bytes.isEmpty())
        log(QStringLiteral("data"),
            QStringLiteral("to board %1").arg(QString::fromLatin1(bytes.toHex(' '))));
    return bytes;
}

void VirtualModule::sendToClient(const QByteArray &packet)
{
    if (logging && settings.simulatedBoard)
        log(QStringLiteral("data"),
            QStringLiteral("from board %1").arg(QString::fromLatin1(packet.toHex(' '))));
    if (!dataClient)
        return;
    counts.dataBytesOut += packet.size();
    dataClient->write(packet);
    dataClient->flush();
}

void VirtualModule::loseBytes(int count)
{
    counts.bytesLost += count;
    log(QStringLiteral("board"),
        QStringLiteral("lost %1 byte(s) to a full receive buffer, %2 in all")
            .arg(count)
            .arg(counts.bytesLost));
    emit bytesLost(count);
}

VirtualModule::~VirtualModule()
{
    stop();
}

bool VirtualModule::listen(QTcpServer *server, quint16 port, bool refuse, quint16 *chosen,
                           QString *error)
{
    if (!server->listen(settings.address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(settings.address.toString())
                         .arg(port)
                         .arg(server->errorString());
        return false;
    }
    *chosen = server->serverPort();
    // A refused port still gets its number (it is announced); nobody listens.
    if (refuse)
        server->close();
    return true;
}

bool VirtualModule::start(QString *error)
{
    if (running)
        return true;
    uptime.start();
    if (!boardSide->start(error))
        return false;
    if (!listen(dataServer, settings.dataPort, settings.faults.refuseData, &dataPortNumber, error)
        || !listen(atServer, settings.atPort, settings.faults.refuseAt, &atPortNumber, error)) {
        dataServer->close();
        return false;
    }
    if (settings.announceIntervalMs > 0
        && !announcer->start(
            settings.address, settings.announceAddress, settings.announcePort,
            settings.announceIntervalMs, [this] { return announcement(); }, error)) {
        dataServer->close();
        atServer->close();
        return false;
    }
    running = true;
    bootloaderRunning = settings.startInBootloader;
    log(QStringLiteral("module"), description());
    return true;
}

// What the module is, for the log: a random bridge's seed replays its run.
QString VirtualModule::description() const
{
    return QStringLiteral("%1 board %2 data port %3 at port %4 bridge %5 uart %6")
        .arg(hostname,
             boardTypeName(settings.board)
                 + (settings.simulatedBoard ? QStringLiteral(" (simulated)") : QString()))
        .arg(dataPortNumber)
        .arg(atPortNumber)
        .arg(bridgeModeName(settings.link.bridge)
                 + (settings.link.bridge == BridgeMode::Random
                        ? QStringLiteral(" seed %1").arg(settings.link.bridgeSeed)
                        : QString()),
             settings.link.lossyUart ? QStringLiteral("lossy") : QStringLiteral("paced"));
}

void VirtualModule::setLogging(bool on)
{
    logging = on;
    if (on && running)
        log(QStringLiteral("module"), description());
}

void VirtualModule::stop()
{
    if (!running)
        return;
    running = false;
    announcer->stop();
    for (QTcpServer *server : { atServer, dataServer }) {
        server->close();
        const auto sockets = server->findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : sockets) {
            socket->disconnect(this);
            socket->abort();
        }
    }
    dataClient.clear();
    boardSide->dropClientSide();
    boardSide->stop();
}

QByteArray VirtualModule::announcement() const
{
    return Announcer::announcementText(settings.address.toString(), dataPortNumber, atPortNumber,
                                       hostname);
}

QByteArray VirtualModule::flash() const
{
    return boardSide->flash();
}

void VirtualModule::setFlash(const QByteArray &contents)
{
    boardSide->setFlash(contents);
}

int VirtualModule::flashSize() const
{
    return boardSide->flashSize();
}

int VirtualModule::pageSize() const
{
    return boardSide->pageSize();
}

QByteArray VirtualModule::eeprom() const
{
    return boardSide->eeprom();
}

bool VirtualModule::writeFlash(const QString &path, QString *error) const
{
    QSaveFile file(path);
    const QByteArray contents = flash();
    if (!file.open(QIODevice::WriteOnly) || contents.size() != flashSize()
        || file.write(contents) != flashSize() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void VirtualModule::setFaults(const FaultOptions &faults)
{
    settings.faults = faults;
    applyFaults();
}

void VirtualModule::setLink(const LinkOptions &link)
{
    settings.link = link;
    applyFaults();
}

void VirtualModule::setSimulationSpeed(double factor)
{
    settings.simulationSpeed = factor;
    boardSide->setSpeed(factor);
}

void VirtualModule::applyFaults()
{
    const FaultOptions &f = settings.faults;
    boardSide->setLink(settings.link, f);
    announcer->setStopAfterMs(f.stopAnnouncingAfterMs);
    if (!running)
        return;
    const struct
    {
        QTcpServer *server;
        bool refuse;
        quint16 port;
    } servers[]
        = { { atServer, f.refuseAt, atPortNumber }, { dataServer, f.refuseData, dataPortNumber } };
    for (const auto &s : servers) {
        if (s.refuse && s.server->isListening())
            s.server->close();
        else if (!s.refuse && !s.server->isListening()
                 && !s.server->listen(settings.address, s.port))
            log(QStringLiteral("module"),
                QStringLiteral("cannot listen again on port %1: %2")
                    .arg(s.port)
                    .arg(s.server->errorString()));
    }
}

void VirtualModule::resetBoard()
{
    boardSide->resetIntoBootloader();
    bootloaderRunning = true;
    ++counts.resets;
    counts.commandsSinceReset = 0;
    log(QStringLiteral("board"),
        QStringLiteral("reset into the STK500v%1 bootloader")
            .arg(boardTraits(settings.board).stkVersion));
    emit boardReset();
}

void VirtualModule::onAtConnection()
{
    while (QTcpSocket *socket = atServer->nextPendingConnection()) {
        ++counts.atConnections;
        auto *session = new AtSession(socket);
        const auto feed = [this, socket, session](bool flush) {
            onAtData(socket, session->parser, session->quiet, flush);
        };
        connect(socket, &QTcpSocket::readyRead, this, [feed] { feed(false); });
        connect(&session->quiet, &QTimer::timeout, this, [feed] { feed(true); });
        connect(socket, &QTcpSocket::disconnected, this, [feed, socket] {
            feed(true);
            socket->deleteLater();
        });
    }
}

void VirtualModule::onAtData(QTcpSocket *socket, AtCommandParser &parser, QTimer &quiet, bool flush)
{
    parser.append(socket->readAll());
    const auto commands = parser.take(flush);
    for (const AtCommandParser::Command &command : commands)
        handleAtCommand(socket, int(command.kind), command.text, command.argument);
    if (parser.hasPending())
        quiet.start();
    else
        quiet.stop();
}

void VirtualModule::handleAtCommand(QTcpSocket *socket, int kind, const QByteArray &text,
                                    const QByteArray &argument)
{
    ++counts.atCommands;
    log(QStringLiteral("at"), printable(text));
    emit atCommandReceived(text);
    const QPointer<QTcpSocket> target(socket);
    const int latencyMs = settings.link.latencyMs;
    // The command takes effect when it reaches the module, and its answer
    // needs as long again to come back.
    auto act = [this, target, kind, argument, latencyMs] {
        QByteArray reply = kAtOk;
        switch (AtCommandParser::Kind(kind)) {
        case AtCommandParser::Kind::UpdateUno:
        case AtCommandParser::Kind::UpdateMega:
            resetBoard();
            break;
        case AtCommandParser::Kind::Hostname:
            hostname = QString::fromLatin1(argument);
            emit renamed(hostname);
            break;
        case AtCommandParser::Kind::Unknown:
            reply = kAtError;
            break;
        case AtCommandParser::Kind::Client:
            break;
        }
        if (settings.faults.oneByteAtReply)
            reply.truncate(1);
        auto answer = [target, reply] {
            if (target && target->state() == QAbstractSocket::ConnectedState) {
                target->write(reply);
                target->flush();
            }
        };
        if (latencyMs > 0)
            QTimer::singleShot(latencyMs, this, answer);
        else
            answer();
    };
    if (latencyMs > 0)
        QTimer::singleShot(latencyMs, this, act);
    else
        act();
}

void VirtualModule::onDataConnection()
{
    while (QTcpSocket *socket = dataServer->nextPendingConnection()) {
        ++counts.dataConnections;
        // The serial line has one end: a new client takes over from the old.
        if (dataClient) {
            QTcpSocket *old = dataClient;
            dataClient.clear();
            old->disconnect(this);
            old->abort();
            old->deleteLater();
            boardSide->dropClientSide();
            emit dataDisconnected();
        }
        dataClient = socket;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Unread bytes stay in the system's buffer, so a board that does not
        // read (a simulated one) holds the client back through TCP.
        if (const qint64 held = boardSide->clientBufferBytes())
            socket->setReadBufferSize(held);
        connect(socket, &QTcpSocket::readyRead, this, [this] { boardSide->clientReadable(); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onDataGone(socket); });
        log(QStringLiteral("data"),
            QStringLiteral("connected from %1:%2")
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort()));
        emit dataConnected();
    }
}

void VirtualModule::onDataGone(QTcpSocket *socket)
{
    socket->disconnect(this);
    socket->deleteLater();
    if (socket != dataClient)
        return;
    dataClient.clear();
    boardSide->dropClientSide();
    log(QStringLiteral("data"), QStringLiteral("disconnected"));
    emit dataDisconnected();
}

BoardAnswer VirtualModule::boardByte(quint8 byte, Bootloader &bootloader)
{
    if (!bootloaderRunning) {
        ++counts.bytesToApplication;
        return {};
    }
    BootloaderReply reply;
    if (!bootloader.feed(byte, &reply))
        return {};
    const int number = ++counts.commandsSinceReset;
    ++counts.bootloaderCommands;
    if (logging) {
        log(QStringLiteral("data"),
            QStringLiteral("#%1 %2 -> %3 bytes: %4")
                .arg(number)
                .arg(reply.summary)
                .arg(reply.bytes.size())
                .arg(QString::fromLatin1(reply.bytes.left(kLogHexBytes).toHex(' '))));
    }
    emit commandReceived(number, reply.request);
    if (reply.writtenAddress >= 0) {
        ++counts.pagesWritten;
        emit pageWritten(reply.writtenAddress, reply.writtenLength);
    }
    if (reply.leavesBootloader) {
        bootloaderRunning = false;
        log(QStringLiteral("board"), QStringLiteral("bootloader left, application runs"));
        emit bootloaderLeft();
    }

    const FaultOptions &f = settings.faults;
    if (f.closeDataAt == number) {
        log(QStringLiteral("fault"), QStringLiteral("closing the data connection"));
        // Not from inside the socket's own signal: on the next pass of the loop.
        QTimer::singleShot(0, this, [this] {
            if (dataClient)
                dataClient->abort();
        });
        return { QByteArray(), reply.busyNs };
    }
    if (f.noReplyAt == number)
        return { QByteArray(), reply.busyNs };
    QByteArray bytes = reply.bytes;
    if (f.shortReplyAt == number)
        bytes.chop(1);
    if (f.longReplyAt == number)
        bytes.append(kStrayByte);
    return { bytes, reply.busyNs };
}

void VirtualModule::log(const QString &channel, const QString &text)
{
    if (!logging)
        return;
    emit logLine(QStringLiteral("%1 %2 %3 %4")
                     .arg(uptime.isValid() ? uptime.elapsed() : 0)
                     .arg(settings.address.toString(), channel, text));
}
