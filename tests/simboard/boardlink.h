#pragma once

#include "boardfiles.h"
#include "simulatedboard.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

// How long a bootloader may take to answer one command. optiboot flashes its
// LED for about 0.4 s after a reset before it reads the first byte.
constexpr int kReplyTimeoutMs = 3000;
// How long a started program may take to print its line: optiboot waits
// 1 s for a programmer after a reset, the MEGA bootloader about as long.
constexpr int kSketchLineTimeoutMs = 5000;

// The test's end of a board's UART0: bytes to the MCU, and what it sent,
// delivered to the test thread.
class BoardLink : public QObject
{
    Q_OBJECT

public:
    explicit BoardLink(SimulatedBoard &board);

    SimulatedBoard &board() { return target; }
    void send(const QByteArray &bytes) { target.writeToMcu(bytes); }
    bool waitForBytes(int count, int timeoutMs);
    bool waitForText(const QByteArray &text, int timeoutMs);
    // Removes and returns the first count bytes received.
    QByteArray take(int count);
    const QByteArray &received() const { return buffer; }
    void clear() { buffer.clear(); }
    // The resets the board reported, in order.
    const QVector<ResetCause> &resets() const { return resetsSeen; }
    void clearResets() { resetsSeen.clear(); }

signals:
    void arrived();

private:
    // Runs the event loop until done() holds or the time is up; woken by
    // each delivery, not by polling.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    SimulatedBoard &target;
    QByteArray buffer;
    QVector<ResetCause> resetsSeen;
};

// A board of the kind with the build's bootloader loaded, not yet started;
// nullptr with the reason when that cannot be had.
std::unique_ptr<SimulatedBoard> boardWithBootloader(BoardKind kind, QString *why);
// The bytes of a sketch as its HEX file gives them from address 0, found by
// the sketch or by its name; empty with the reason.
QByteArray sketchImage(const BoardFiles::Sketch &sketch, QString *why);
QByteArray sketchImage(const QString &name, QString *why);

// A started board of a sketch's kind with the build's bootloader, the sketch's
// image at hand and the test's end of the board's UART.
struct SketchBoard
{
    BoardFiles::Sketch sketch;
    QByteArray image;
    std::unique_ptr<SimulatedBoard> board;
    std::unique_ptr<BoardLink> link;

    // False, with a warning that says why, when a part cannot be had. The
    // flash holds `preload` before the board starts at `speed`.
    bool prepare(const QString &sketchName, const QByteArray &preload = QByteArray(),
                 double speed = 1.0);
};
