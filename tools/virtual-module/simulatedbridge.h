#pragma once

#include "moduleoptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The serial line between a module and a simulated board: the board's MCU in
// libsimavr running the board's real bootloader (optiboot on the UNO, the
// stk500v2 bootloader on the MEGA), UART0 wired to the module's data port.
// The link emulation works on top: bytes towards the board wait for the
// network latency and leave at the line's rate; the board's output reaches
// the client no faster than the line carries it, after the latency, cut
// into segments as the link's bridge mode says. Bytes the line has not
// carried yet hold the data connection back (the socket is not read). With
// a flow-controlled UART the board's program also holds them back, so
// nothing is dropped however slowly it reads; with the lossy UART the line
// does not wait for the program, and what the chip cannot hold is lost.
// Without libsimavr in the build, start() fails and says what is missing.
class SimulatedBridge : public QObject
{
    Q_OBJECT

public:
    // Reads at most this many bytes from the data connection; returns what
    // it got (the module counts them).
    using ClientReader = std::function<QByteArray(qint64 maxBytes)>;

    // Bytes on their way to the board, in the module and in the board's
    // queue together, before the data connection is no longer read: the
    // module's own serial buffer.
    static constexpr int kHeldBytes = 512;

    explicit SimulatedBridge(BoardType board, QObject *parent = nullptr);
    ~SimulatedBridge() override;

    // Whether this build can simulate boards; otherwise why not.
    static bool available(QString *why = nullptr);

    // Loads the bootloader and `flash` (the application section), starts the
    // MCU with a power-on reset, so the bootloader starts the program.
    bool start(const QByteArray &flash, double speed, QString *error);
    void stop();

    void setLink(const LinkOptions &link);
    // Simulated time per wall-clock time: 1 real time, 0 as fast as the host can.
    void setSpeed(double factor);
    void setClientReader(ClientReader reader);
    // The data connection has bytes to read.
    void clientReadable();
    // The client went away: packets not yet sent to it are dropped.
    void dropClientSide();
    // Pulls the board's RESET line: the bootloader starts and sees an
    // external reset. Bytes still on their way to the old program are gone.
    void resetIntoBootloader();

    QByteArray flash() const;
    // Replaces the application section; the boot section keeps the bootloader.
    void setFlash(const QByteArray &contents);
    int flashSize() const;
    int pageSize() const;
    int resetCount() const;
    // Bytes the lossy UART lost to data overruns, all resets together.
    int lostBytes() const;

signals:
    // One TCP packet for the client.
    void toClient(const QByteArray &packet);
    // Bytes lost to a data overrun just now.
    void bytesLost(int count);

private:
    struct State;

    void takeFromClient();
    void fromBoard(const QByteArray &bytes);
    void pump();
    void applyLinkToBoard();

    const BoardType boardType;
    std::unique_ptr<State> d;
};
