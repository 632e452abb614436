#pragma once

#include "boardfacts.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

enum class ResetCause { PowerOn, External, Watchdog };

// One simulated board: the MCU of its kind in libsimavr with a bootloader in
// its boot section, UART0 as its only connection. As on an Arduino board,
// the boot lock bits keep the bootloader from writing its own section. The simulation runs on a
// thread of its own, paced against the wall clock, so bytes move at the
// UART's real rate. All public functions are thread-safe, except that
// start() and stop() belong to the thread that owns the board.
class SimulatedBoard : public QObject
{
    Q_OBJECT

public:
    explicit SimulatedBoard(BoardKind kind, QObject *parent = nullptr);
    ~SimulatedBoard() override;

    BoardKind kind() const { return boardKind; }
    const BoardTraits &traits() const { return boardTraits(boardKind); }
    QString errorString() const;

    // Places a bootloader HEX; every byte must lie in the boot section. The
    // MCU then starts there on every reset, as with the BOOTRST fuse set.
    bool loadBootloader(const QString &hexPath);
    // Writes bytes straight into flash, as an in-system programmer would.
    bool loadProgram(const QByteArray &image, quint32 address = 0);

    // Simulated time per wall-clock time: 1 is real time, 0 runs as fast as
    // the host can.
    void setSpeed(double factor);
    // How bytesFromMcu groups the output. 0 (the default): whatever a slice
    // produced. Otherwise as a serial bridge packs a TCP packet: held until
    // the UART has been idle for this many frame times, or maxBytes are held.
    // idleFrames 0 with maxBytes 1: every byte leaves the moment it is sent.
    void setOutputGrouping(int idleFrames, int maxBytes);

    // The chip's receiver instead of a flow-controlled feed: bytes enter at
    // the line's rate whether the program reads them or not, into a two-byte
    // buffer plus the shift register; a byte arriving when all three are
    // full is lost (data overrun, DOR0 set) and counted; bytes arriving while
    // the receiver is off are dropped as the chip drops them. A page erase or
    // write then also takes the chip's time.
    void setLossyReceive(bool on) { lossyReceive.store(on); }
    int overrunBytes() const { return overruns.load(); }

    // Power-on reset, then the simulation runs until stop().
    bool start();
    void stop();
    bool isRunning() const { return running.load(); }

    // Queues bytes for the MCU's RX line. They enter the UART no faster than
    // the wire would carry them at the rate the program set; unless the
    // receive is lossy, only while its receive FIFO has room, so none is
    // dropped while the receiver is on.
    void writeToMcu(const QByteArray &bytes);
    // Bytes queued and not yet in the UART: a program that does not read
    // lets this grow, so a bridge can stop reading its socket.
    int pendingInput() const { return pendingBytes.load(); }

    // Pulls the RESET line: the bootloader starts and sees an external reset.
    // Bytes still queued for the old program are dropped.
    void resetIntoBootloader();

    // A copy of the whole flash, bootloader included.
    QByteArray flash() const;
    quint64 simulatedCycles() const { return cycles.load(); }
    // One frame on UART0 at the rate and format the program last sent with,
    // in simulated nanoseconds; 0 before it sent anything.
    qint64 uartFrameNs() const { return frameNs.load(); }
    int resetCount() const { return resets.load(); }

signals:
    // Bytes the MCU sent, gathered over at most about one simulated
    // millisecond, or as setOutputGrouping asks. Emitted on the simulation
    // thread.
    void bytesFromMcu(const QByteArray &bytes);
    // Every reset, including the power-on one of start(); on the simulation
    // thread.
    void resetDone(ResetCause cause);
    // Bytes the lossy receive lost to data overruns since the last report;
    // on the simulation thread.
    void bytesLost(int count);

private:
    struct Core;

    void runLoop();
    void runUntil(quint64 targetCycles);
    void feedUart();
    void receiveFromLine();
    void countElapsedCycles();
    void performReset(ResetCause cause);
    void takeInbox();
    quint64 outputDeadline() const;
    bool outputDue() const;
    void setError(const QString &text) const;
    // The core for a caller besides the simulation: the loop, which would
    // take the mutex again at once, lets a waiter in between two slices.
    std::unique_lock<std::mutex> lockCoreBetweenSlices() const;

    static void onUartOutput(struct avr_irq_t *irq, uint32_t value, void *param);
    static void onUartXon(struct avr_irq_t *irq, uint32_t value, void *param);
    static void onUartXoff(struct avr_irq_t *irq, uint32_t value, void *param);
    static void onCoreReset(struct avr_t *avr);

    const BoardKind boardKind;
    std::unique_ptr<Core> core; // touched only with coreMutex held

    mutable std::mutex coreMutex;
    mutable std::atomic<int> coreWaiters { 0 };

    mutable std::mutex errorMutex;
    mutable QString lastError;

    std::mutex inboxMutex; // guards inbox and resetRequested
    QByteArray inbox;
    bool resetRequested = false;
    std::atomic<int> pendingBytes { 0 };

    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> stopRequested { false };
    std::atomic<bool> running { false };
    std::atomic<double> speed { 1.0 };
    std::atomic<int> outputIdleFrames { 0 };
    std::atomic<int> outputMaxBytes { 0 };
    std::atomic<qint64> frameNs { 0 };
    std::atomic<quint64> cycles { 0 };
    std::atomic<int> resets { 0 };
    std::atomic<bool> lossyReceive { false };
    std::atomic<int> overruns { 0 };
    std::thread thread;
};

Q_DECLARE_METATYPE(ResetCause)
