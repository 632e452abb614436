#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"
#include "cli/toolprotocol.h"

#include <QHostAddress>

#include <functional>

// rudireze-cli monitor-tool: a module's data port (the board's serial line)
// for IDE 2.x and arduino-cli, over the pluggable monitor protocol (version 1)
// on standard input and output; the bytes pass unchanged over a TCP
// connection to the IDE.
extern const CommandEntry kMonitorToolCommand;
int runMonitorTool(const Options &options);

// The pluggable monitor protocol without its I/O. HELLO comes first (no
// client of this protocol omits it); OPEN connects a module's data port with
// the IDE, CLOSE (or either end closing) ends that, QUIT ends the tool.
class MonitorToolProtocol : public ToolProtocol
{
public:
    enum class State { Alive, Idle, Open, Dead };

    // Connects the module's data port with the IDE's address: an error text,
    // or empty when both are connected; and closes them again.
    struct Connection
    {
        std::function<QString(const QHostAddress &client, quint16 clientPort, const Target &board)>
            open;
        std::function<void()> close;
    };

    explicit MonitorToolProtocol(Connection connection);

    void command(const QByteArray &line) override;
    // The module or the IDE closed its end while the port was open.
    void portClosed(const QString &why);

    State state() const { return current; }
    bool finished() const { return current == State::Dead && !hasOutput(); }

private:
    void open(const QList<QByteArray> &words);

    Connection connection;
    State current = State::Alive;
};
