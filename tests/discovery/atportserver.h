#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

// A module's AT command port on a thread of its own, so that it accepts and
// answers while the window's GUI thread blocks in a rename exchange. Records
// the bytes of every connection once the peer has closed it.
class AtPortServer : public QThread
{
public:
    enum Reply { Answer, Silent };

    explicit AtPortServer(const QHostAddress &address, Reply reply = Answer);
    ~AtPortServer() override;

    // Starts listening on a free port; false if that failed.
    bool listen();
    quint16 port() const { return boundPort; }
    QList<QByteArray> exchanges() const;

protected:
    void run() override;

private:
    const QHostAddress address;
    const Reply reply;
    quint16 boundPort = 0;
    bool listening = false;
    QSemaphore ready;
    mutable QMutex mutex;
    QList<QByteArray> finished;
};
