#pragma once

#include "cli/options.h"
#include "upload/athandshake.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// A local TCP port for programs that speak STK500 themselves: each client in
// turn gets the board reset into its bootloader (the upload's AT handshake)
// and the module's data port, byte for byte, until one side closes or nothing
// has passed either way for the idle time. The next client waits unaccepted
// in the listen queue meanwhile: accepted and dropped, a program such as
// avrdude would retry at full speed.
class Proxy : public QObject
{
    Q_OBJECT

public:
    // Bytes still on their way when one side closes get this long to leave.
    static constexpr int kCloseTimeoutMs = 1000;

    Proxy(const Target &target, AtFamily family, int idleMs, QObject *parent = nullptr);
    ~Proxy() override;

    // False with the reason when the address cannot be listened on.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return server.serverPort(); }

    // Serves clients until `clients` of them were served (0: no limit), the
    // time limit passes (0: none), a stop is requested, or the module fails
    // (exit status 1).
    int run(int clients, int limitMs);

signals:
    void ended(int status);

private:
    void accept();
    bool openModule(QString *error);
    void closeSession();
    void closeIdleSession();

    Target target;
    AtFamily family;
    QTcpServer server;
    // Restarted by every byte that passes; its end frees the board.
    QTimer idle;
    QTcpSocket *client = nullptr;
    QTcpSocket *data = nullptr;
    QTcpSocket *at = nullptr;
    // The board was reset and bytes may pass.
    bool passing = false;
    int served = 0;
    int clientLimit = 0;
};

int runProxy(const Options &options);
