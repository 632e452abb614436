#include "cli/monitortool.h"

#include "cli/discovery.h"
#include "cli/monitor.h"
#include "cli/output.h"
#include "platform/consoleinput.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <memory>

namespace {
// The module's serial settings are its own (set up on the module), so the
// port offers none.
QJsonObject portDescription()
{
    return QJsonObject { { QStringLiteral("protocol"), QLatin1String(kDiscoveryProtocol) },
                         { QStringLiteral("configuration_parameters"), QJsonObject() } };
}
} // namespace

MonitorToolProtocol::MonitorToolProtocol(Connection connection)
    : connection(std::move(connection))
{
}

void MonitorToolProtocol::command(const QByteArray &trimmed)
{
    if (current == State::Dead)
        return;
    const QList<QByteArray> words = trimmed.split(' ');
    const QByteArray &name = words.first();
    if (name == "HELLO") {
        if (hello(trimmed, current != State::Alive))
            current = State::Idle;
    } else if (trimmed == "QUIT") {
        if (current == State::Open && connection.close)
            connection.close();
        reply("quit");
        current = State::Dead;
    } else if (current == State::Alive) {
        reply("command_error", QStringLiteral("HELLO must be the first command"));
    } else if (trimmed == "DESCRIBE") {
        send(QJsonObject { { QStringLiteral("eventType"), QStringLiteral("describe") },
                           { QStringLiteral("message"), QStringLiteral("ok") },
                           { QStringLiteral("port_description"), portDescription() } });
    } else if (name == "CONFIGURE") {
        if (words.size() != 3)
            reply("command_error",
                  QStringLiteral("Invalid CONFIGURE command: CONFIGURE <PARAMETER_NAME> <VALUE>"));
        else
            reply("configure",
                  QStringLiteral("invalid parameter %1: a module's port has no settings")
                      .arg(QString::fromUtf8(words.at(1))));
    } else if (name == "OPEN") {
        open(words);
    } else if (trimmed == "CLOSE") {
        if (current != State::Open) {
            reply("close", QStringLiteral("port already closed"));
            return;
        }
        if (connection.close)
            connection.close();
        current = State::Idle;
        reply("close", QString(), "ok");
    } else {
        unknownCommand(trimmed);
    }
}

void MonitorToolProtocol::open(const QList<QByteArray> &words)
{
    if (words.size() != 3) {
        reply("command_error",
              QStringLiteral("Invalid OPEN command: OPEN <CLIENT_TCPIP_ADDRESS> <BOARD_PORT>"));
        return;
    }
    if (current == State::Open) {
        reply("open", QStringLiteral("port already opened"));
        return;
    }
    const QString client = QString::fromUtf8(words.at(1));
    const auto listener = parseListenAddress(client);
    if (!listener || listener->second == 0) {
        reply("open", QStringLiteral("invalid client address %1").arg(client));
        return;
    }
    QString error;
    const std::optional<Target> board = parseMonitorTarget(QString::fromUtf8(words.at(2)), &error);
    if (!board) {
        reply("open", error);
        return;
    }
    error
        = connection.open ? connection.open(listener->first, listener->second, *board) : QString();
    if (!error.isEmpty()) {
        reply("open", error);
        return;
    }
    current = State::Open;
    reply("open", QString(), "ok");
}

void MonitorToolProtocol::portClosed(const QString &why)
{
    if (current != State::Open)
        return;
    if (connection.close)
        connection.close();
    current = State::Idle;
    send(QJsonObject { { QStringLiteral("eventType"), QStringLiteral("port_closed") },
                       { QStringLiteral("message"), why } });
}

namespace {
// The protocol on standard input and output, and the two connections it
// joins: the module's data port and the IDE's address. Replies are a few
// lines, written as they come; the board's bytes go over TCP, not here.
class MonitorToolProcess
{
public:
    MonitorToolProcess()
        : protocol({ [this](const QHostAddress &client, quint16 clientPort, const Target &board) {
                        return open(client, clientPort, board);
                    },
                     [this] { close(); } })
    {
    }
    int run();

private:
    QString open(const QHostAddress &client, quint16 clientPort, const Target &board);
    void close();
    void flush();
    void lost(const QString &why);

    MonitorToolProtocol protocol;
    std::unique_ptr<QTcpSocket> module;
    std::unique_ptr<QTcpSocket> ide;
};

QString MonitorToolProcess::open(const QHostAddress &client, quint16 clientPort,
                                 const Target &board)
{
    module = std::make_unique<QTcpSocket>();
    module->connectToHost(board.address, board.dataPort);
    if (!module->waitForConnected(kModuleConnectTimeoutMs)) {
        const QString error = QStringLiteral("cannot connect to the data port %1: %2")
                                  .arg(monitorLabel(board), module->errorString());
        module.reset();
        return error;
    }
    ide = std::make_unique<QTcpSocket>();
    ide->connectToHost(client, clientPort);
    if (!ide->waitForConnected(kModuleConnectTimeoutMs)) {
        const QString error
            = QStringLiteral("cannot connect back to the client: ") + ide->errorString();
        close();
        return error;
    }
    // Bytes pass unchanged both ways: line endings are the IDE's to choose.
    QObject::connect(module.get(), &QTcpSocket::readyRead, module.get(),
                     [this] { ide->write(module->readAll()); });
    QObject::connect(ide.get(), &QTcpSocket::readyRead, ide.get(),
                     [this] { module->write(ide->readAll()); });
    QObject::connect(module.get(), &QTcpSocket::disconnected, module.get(),
                     [this] { lost(QStringLiteral("the module closed its data port")); });
    QObject::connect(ide.get(), &QTcpSocket::disconnected, ide.get(),
                     [this] { lost(QStringLiteral("lost TCP/IP connection with the client")); });
    return QString();
}

void MonitorToolProcess::close()
{
    // Deleted later: close() may run inside one of their own signals.
    for (std::unique_ptr<QTcpSocket> *socket : { &module, &ide }) {
        if (!*socket)
            continue;
        QObject::disconnect(socket->get(), nullptr, nullptr, nullptr);
        (*socket)->abort();
        socket->release()->deleteLater();
    }
}

void MonitorToolProcess::lost(const QString &why)
{
    // What the board sent last still goes to the IDE.
    if (module && ide && module->bytesAvailable() > 0)
        ide->write(module->readAll());
    if (ide)
        ide->flush();
    protocol.portClosed(why);
    flush();
}

void MonitorToolProcess::flush()
{
    while (const std::optional<QByteArray> line = protocol.takeOutput())
        writeBytes(stdout, *line);
    std::fflush(stdout);
    if (protocol.finished())
        QCoreApplication::quit();
}

int MonitorToolProcess::run()
{
    StandardInput input;
    QObject::connect(&input, &StandardInput::received, [this](const QByteArray &bytes) {
        protocol.receive(bytes);
        flush();
    });
    QObject::connect(&input, &StandardInput::ended, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    input.start();
    QCoreApplication::exec();
    close();
    return kExitSuccess;
}
} // namespace

int runMonitorTool(const Options &)
{
    MonitorToolProcess process;
    return process.run();
}

const CommandEntry kMonitorToolCommand {
    Command::MonitorTool,
    "monitor-tool",
    "a module's serial line for IDE 2.x (the IDE starts it)",
    QStringLiteral(R"text(Usage: rudireze-cli monitor-tool

A pluggable monitor tool for IDE 2.x and arduino-cli, which start it
themselves (platform.txt names it): it reads the monitor protocol's commands
(HELLO, DESCRIBE, CONFIGURE, OPEN, CLOSE, QUIT) on standard input and answers
in JSON on standard output. OPEN connects the module's data port (the port
address IP:DATAPORT:ATPORT that the discovery lists) with the address the IDE
listens on, and the board's serial bytes pass both ways unchanged. The port
has no settings: the module's serial line is set up on the module.

)text"),
    14,
    { verboseRow(), helpRow() },
    QLatin1String(kToolExitStatusHelp) + QLatin1String(kExitUsageHelp),
    noPositionals,
    nullptr,
    runMonitorTool,
};
