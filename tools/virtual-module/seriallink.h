#pragma once

#include "bridgeshaper.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <deque>
#include <functional>

class PreciseWake;

// What the board did with one byte that reached it.
struct BoardAnswer
{
    QByteArray reply; // bytes the board sends back
    qint64 busyNs = 0; // time before it sends them and reads its UART again
};

// The path between a TCP client of the module and the board's serial line.
// Towards the board, bytes leave the module's UART at the line's pace (10 bits
// a byte) after the network latency. Back from the board, the bridge collects
// the UART's bytes and sends them as one TCP packet once the line has been
// idle for a few byte times or its buffer is full, so a reply normally
// reaches the client in one piece; other bridge modes send every byte as it
// comes, or segments of random length. Everything is driven by one wake-up set to
// the earliest moment the client could see something happen; nothing sleeps
// or polls. Events in between are handled late but at their own times, so
// only what reaches the client needs a precise wake-up.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        int baud = 0; // 0: bytes cross the line at once
        int latencyMs = 0; // network delay, each direction
        bool smallReceiveBuffer = false; // the chip's UART: two bytes plus the shift register
        int splitPieces = 1; // each packet to the client sent in this many pieces
        int splitGapMs = 0; // time between those pieces
        BridgeMode bridge = BridgeMode::Packed;
        quint32 bridgeSeed = 1;
    };
    using BoardInput = std::function<BoardAnswer(quint8 byte)>;

    static constexpr int kBridgeBufferBytes = 512;
    static constexpr int kIdleByteTimes = 4;
    static constexpr int kChipReceiveBytes = 3;

    explicit SerialLink(BoardInput board, QObject *parent = nullptr);
    ~SerialLink() override;

    void setSettings(const Settings &settings);
    const Settings &settings() const { return current; }

    // Bytes the client sent over TCP.
    void fromClient(const QByteArray &bytes);
    // The board was reset: bytes still on their way to it, and what it was
    // about to answer, are gone.
    void resetBoardSide();
    // The client went away: packets not yet sent to it are dropped.
    void dropClientSide();

    int lostBytes() const { return lost; }

signals:
    // One TCP packet for the client.
    void toClient(const QByteArray &packet);
    // Bytes that reached a busy board with a full receive buffer.
    void bytesLost(int count);

private:
    struct TimedByte
    {
        qint64 at;
        quint8 byte;
    };
    struct Packet
    {
        qint64 at;
        QByteArray bytes;
    };

    qint64 now() const { return clock.nsecsElapsed(); }
    qint64 byteNs() const;
    qint64 bridgeFlushAt() const;
    void pump();
    qint64 wakeUpAt() const;
    void wakeAt(qint64 at);
    bool processNext(qint64 limit, qint64 *nextAt);
    void deliverToBoard(quint8 byte, qint64 at);
    void boardSends(const QByteArray &bytes, qint64 at);
    void bridgeSends(qint64 at);

    BoardInput board;
    Settings current;
    BridgeShaper shaper;
    QElapsedTimer clock;
    PreciseWake *wake;

    std::deque<TimedByte> towardsBoard;
    qint64 downLineFreeAt = 0;
    bool boardBusy = false;
    qint64 boardBusyUntil = 0;
    QByteArray pendingReply;
    std::deque<quint8> receiveBuffer;

    std::deque<TimedByte> fromBoard;
    qint64 upLineFreeAt = 0;
    QByteArray bridgeBuffer;
    qint64 bridgeLastByteAt = 0;

    std::deque<Packet> towardsClient;
    qint64 lastPacketAt = 0;
    int lost = 0;
};
