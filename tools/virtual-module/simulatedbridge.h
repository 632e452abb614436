#pragma once

#include "moduleboard.h"

#include <QByteArray>
#include <QString>

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
class SimulatedBridge : public ModuleBoard
{
    Q_OBJECT

public:
    // Bytes on their way to the board, in the module and in the board's
    // queue together, before the data connection is no longer read: the
    // module's own serial buffer.
    static constexpr int kHeldBytes = 512;

    // The board, its application section at the start (initialFlash), its
    // speed and whether it starts in its bootloader come from the options.
    explicit SimulatedBridge(const ModuleOptions &options, QObject *parent = nullptr);
    ~SimulatedBridge() override;

    // Whether this build can simulate boards; otherwise why not.
    static bool available(QString *why = nullptr);

    // Loads the bootloader and the application section, starts the MCU
    // with a power-on reset, so the bootloader starts the program.
    bool start(QString *error) override;
    void stop() override;

    // The faults are the emulated board's; the link is taken as it is.
    void setLink(const LinkOptions &link, const FaultOptions &faults) override;
    // Simulated time per wall-clock time: 1 real time, 0 as fast as the host can.
    void setSpeed(double factor) override;
    qint64 clientBufferBytes() const override { return kHeldBytes; }
    void clientReadable() override;
    void dropClientSide() override;
    // Pulls the board's RESET line: the bootloader sees an external reset.
    void resetIntoBootloader() override;

    QByteArray flash() const override;
    // Replaces the application section; the boot section keeps the bootloader.
    // Before start(), it is what start() loads.
    void setFlash(const QByteArray &contents) override;
    int flashSize() const override;
    int pageSize() const override;
    // The simulated chip's EEPROM is not read out: it reads as erased.
    QByteArray eeprom() const override;
    int resetCount() const;
    // Bytes the lossy UART lost to data overruns, all resets together.
    int lostBytes() const;

private:
    struct State;

    bool startBoard(QString *error);
    void takeFromClient();
    void fromBoard(const QByteArray &bytes);
    void pump();
    void applyLinkToBoard();
    void loadApplication(const QByteArray &contents);

    const BoardType boardType;
    std::unique_ptr<State> d;
};
