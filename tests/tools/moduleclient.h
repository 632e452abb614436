#pragma once

#include "virtualmodule.h"

#include <QElapsedTimer>
#include <QList>
#include <QTcpSocket>
#include <QtTest>

// A test's client of one in-process virtual module. It runs on the test's
// event loop (the module needs that loop too), so every wait spins the loop
// with a bound instead of blocking.
class ModuleClient : public QObject
{
public:
    static constexpr int kWaitMs = 5000;
    // How long a test listens for bytes that must not come.
    static constexpr int kSilenceMs = 300;

    explicit ModuleClient(const VirtualModule *module)
        : module(module)
    {
        connect(&data, &QTcpSocket::readyRead, this, [this] {
            const QByteArray chunk = data.readAll();
            pieces.append(chunk);
            pieceTimes.append(clock.elapsed());
            received += chunk;
        });
        connect(&at, &QTcpSocket::readyRead, this, [this] { atReceived += at.readAll(); });
        clock.start();
    }

    bool connectData()
    {
        data.connectToHost(module->address(), module->dataPort());
        return data.waitForConnected(kWaitMs);
    }

    bool connectAt()
    {
        at.connectToHost(module->address(), module->atPort());
        return at.waitForConnected(kWaitMs);
    }

    // Sends an AT command and waits for `count` bytes of answer.
    QByteArray atCommand(const QByteArray &command, int count = 4)
    {
        atReceived.clear();
        at.write(command);
        at.flush();
        // A short answer shows in what is returned; the caller judges it.
        [[maybe_unused]] const bool complete
            = QTest::qWaitFor([this, count] { return atReceived.size() >= count; }, kWaitMs);
        return atReceived;
    }

    // The upload worker's handshake.
    bool handshake(const QByteArray &family)
    {
        return atCommand("AT+U2W=CLIENT\r\n") == "OK\r\n"
            && atCommand("AT+MCUUPDATE=" + family) == "OK\r\n";
    }

    // Sends a request on the data port and waits until `count` bytes came
    // back (or the wait ends); the pieces they came in are recorded.
    QByteArray exchange(const QByteArray &request, int count, int waitMs = kWaitMs)
    {
        clear();
        sentAt = clock.elapsed();
        data.write(request);
        data.flush();
        [[maybe_unused]] const bool complete
            = QTest::qWaitFor([this, count] { return received.size() >= count; }, waitMs);
        return received;
    }

    // Waits as long as nothing should arrive; true when nothing did.
    bool staysSilent()
    {
        settle();
        return received.isEmpty();
    }

    // Gives bytes that must not come the time to show up.
    static void settle() { QTest::qWait(kSilenceMs); }

    void clear()
    {
        received.clear();
        pieces.clear();
        pieceTimes.clear();
    }

    qint64 elapsedSinceSend() const
    {
        return pieceTimes.isEmpty() ? -1 : pieceTimes.back() - sentAt;
    }

    const VirtualModule *module;
    QTcpSocket data;
    QTcpSocket at;
    QByteArray received;
    QByteArray atReceived;
    QList<QByteArray> pieces;
    QList<qint64> pieceTimes;
    QElapsedTimer clock;
    qint64 sentAt = 0;
};
