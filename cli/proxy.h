#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"
#include "upload/athandshake.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

class QAbstractSocket;
class QTcpSocket;

// Takes one connection at a time and leaves the next in the system's listen
// queue until asked for it. It hands over the bare descriptor: a QTcpSocket
// reads the end of its peer's stream itself and closes the whole connection,
// so a client that only finished sending would never get the replies.
class ClientListener : public QTcpServer
{
public:
    ClientListener();
    // The connection taken, or -1; the caller owns it from then on.
    qintptr take();
    // Lets the next connection in.
    void acceptNext();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qintptr taken = -1;
};

// A local TCP port for programs that speak STK500 themselves: each client in
// turn gets the board reset into its bootloader (the upload's AT handshake)
// and the module's data port, byte for byte, until one side closes or the
// client has sent nothing for the idle time. The next client waits unaccepted
// in the listen queue meanwhile: accepted and dropped, a program such as
// avrdude would retry at full speed. What a client sent while it waited is
// thrown away when its turn comes, as if it had connected just then.
class Proxy : public QObject
{
    Q_OBJECT

public:
    // Bytes still on their way when one side closes get this long to leave.
    static constexpr int kCloseTimeoutMs = 1000;

    Proxy(const Target &target, AtFamily family, int idleMs, QObject *parent = nullptr);
    ~Proxy() override;

    // False with the reason when the address cannot be listened on. A proxy
    // without its target's address yet takes no client until setTarget().
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    void setTarget(const Target &module);
    quint16 port() const { return server.serverPort(); }

    // Serves clients until `clients` of them were served (0: no limit), the
    // time limit passes (0: none), a stop is requested (exit status 143 for
    // SIGTERM), or the module fails (exit status 1).
    int run(int clients, int limitMs);

signals:
    void ended(int status);

private:
    void accept();
    bool openModule(QString *error);
    void clientReadable();
    void clientFinished();
    void closeSession();
    void closeIdleSession();

    Target target;
    AtFamily family;
    ClientListener server;
    // Restarted by every byte the client sends; its end frees the board.
    QTimer idle;
    // Once the client has finished sending, restarted by every byte of the
    // board's; its end closes the session.
    QTimer finishing;
    QAbstractSocket *client = nullptr;
    QTcpSocket *data = nullptr;
    QTcpSocket *at = nullptr;
    // The board was reset and bytes may pass.
    bool passing = false;
    int served = 0;
    int clientLimit = 0;
    // No further client is taken.
    bool over = false;
};

// rudireze-cli proxy.
extern const CommandEntry kProxyCommand;
int runProxy(const Options &options);
