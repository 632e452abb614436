#include "seriallink.h"

#include "precisewake.h"

#include <limits>

namespace {
constexpr qint64 kNsPerSecond = 1000000000;
constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kBitsPerByte = 10; // start bit, eight data bits, stop bit
constexpr qint64 kNever = std::numeric_limits<qint64>::max();
// Events handled in one pass before the loop gets control back.
constexpr int kMaxEventsPerPass = 100000;
} // namespace

SerialLink::SerialLink(BoardInput board, QObject *parent)
    : QObject(parent)
    , board(std::move(board))
    , wake(new PreciseWake(this))
{
    clock.start();
    connect(wake, &PreciseWake::due, this, &SerialLink::pump);
}

SerialLink::~SerialLink() = default;

void SerialLink::setSettings(const Settings &settings)
{
    if (settings.bridge != current.bridge || settings.bridgeSeed != current.bridgeSeed)
        shaper.setMode(settings.bridge, settings.bridgeSeed);
    current = settings;
    current.splitPieces = qMax(1, current.splitPieces);
}

qint64 SerialLink::byteNs() const
{
    return current.baud > 0 ? kBitsPerByte * kNsPerSecond / current.baud : 0;
}

void SerialLink::fromClient(const QByteArray &bytes)
{
    const qint64 t = now();
    qint64 at = qMax(downLineFreeAt, t + current.latencyMs * kNsPerMs);
    for (char c : bytes) {
        at += byteNs();
        towardsBoard.push_back({ at, quint8(c) });
    }
    downLineFreeAt = at;
    pump();
}

void SerialLink::resetBoardSide()
{
    towardsBoard.clear();
    downLineFreeAt = 0;
    boardBusy = false;
    pendingReply.clear();
    receiveBuffer.clear();
}

void SerialLink::dropClientSide()
{
    towardsClient.clear();
}

qint64 SerialLink::bridgeFlushAt() const
{
    if (bridgeBuffer.isEmpty())
        return kNever;
    const qint64 at = bridgeLastByteAt + kIdleByteTimes * byteNs();
    // A byte still coming before the line falls idle keeps the packet open.
    if (!fromBoard.empty() && fromBoard.front().at <= at)
        return kNever;
    return at;
}

// Handles the earliest event due by `limit`; otherwise tells when the next
// one is due.
bool SerialLink::processNext(qint64 limit, qint64 *nextAt)
{
    const qint64 down = towardsBoard.empty() ? kNever : towardsBoard.front().at;
    const qint64 ready = boardBusy ? boardBusyUntil : kNever;
    const qint64 up = fromBoard.empty() ? kNever : fromBoard.front().at;
    const qint64 flush = bridgeFlushAt();
    const qint64 send = towardsClient.empty() ? kNever : towardsClient.front().at;
    const qint64 first = std::min({ down, ready, up, flush, send });
    if (first > limit) {
        *nextAt = first;
        return false;
    }
    // At equal times the board side goes first, so a reply that the same
    // instant completes still joins the packet being collected.
    if (first == up) {
        bridgeBuffer.append(char(fromBoard.front().byte));
        bridgeLastByteAt = up;
        fromBoard.pop_front();
        if (bridgeBuffer.size() >= kBridgeBufferBytes || shaper.segmentFull(bridgeBuffer.size()))
            bridgeSends(up);
    } else if (first == ready) {
        boardBusy = false;
        boardSends(pendingReply, ready);
        pendingReply.clear();
        while (!receiveBuffer.empty() && !boardBusy) {
            const quint8 byte = receiveBuffer.front();
            receiveBuffer.pop_front();
            deliverToBoard(byte, ready);
        }
    } else if (first == down) {
        const TimedByte arrived = towardsBoard.front();
        towardsBoard.pop_front();
        if (!boardBusy) {
            deliverToBoard(arrived.byte, arrived.at);
        } else if (!current.smallReceiveBuffer || int(receiveBuffer.size()) < kChipReceiveBytes) {
            receiveBuffer.push_back(arrived.byte);
        } else {
            ++lost;
            emit bytesLost(1);
        }
    } else if (first == flush) {
        bridgeSends(flush);
    } else {
        const QByteArray bytes = towardsClient.front().bytes;
        towardsClient.pop_front();
        emit toClient(bytes);
    }
    return true;
}

void SerialLink::pump()
{
    const qint64 t = now();
    qint64 next = kNever;
    for (int i = 0; i < kMaxEventsPerPass && processNext(t, &next); ++i) { }
    wakeAt(wakeUpAt());
}

// The earliest moment a packet could leave for the client. A byte on its way
// to the board, or a board busy writing flash, shows nothing to the client
// until a reply has crossed the line and the bridge has seen it fall idle (or
// filled its buffer), so the link may sleep until then.
qint64 SerialLink::wakeUpAt() const
{
    const qint64 latency = current.latencyMs * kNsPerMs;
    const qint64 room = kBridgeBufferBytes - qint64(bridgeBuffer.size()) - qint64(fromBoard.size());
    // A new reply byte needs its own time on the line before it can fill the buffer.
    const qint64 idle = current.bridge == BridgeMode::Packed ? kIdleByteTimes : 0;
    const qint64 afterBoard = byteNs() * qBound<qint64>(1, room, 1 + idle) + latency;
    const qint64 afterLine = byteNs() * qBound<qint64>(0, room, idle) + latency;
    qint64 at = kNever;
    if (!towardsClient.empty())
        at = std::min(at, towardsClient.front().at);
    if (bridgeFlushAt() != kNever)
        at = std::min(at, bridgeFlushAt() + latency);
    if (!fromBoard.empty())
        at = std::min(at, fromBoard.front().at + afterLine);
    if (boardBusy)
        at = std::min(at, boardBusyUntil + afterBoard);
    if (!towardsBoard.empty())
        at = std::min(at, towardsBoard.front().at + afterBoard);
    return at;
}

void SerialLink::wakeAt(qint64 at)
{
    wake->wakeAfterNs(at == kNever ? -1 : qMax<qint64>(at - now(), 0));
}

void SerialLink::deliverToBoard(quint8 byte, qint64 at)
{
    const BoardAnswer answer = board(byte);
    if (answer.busyNs > 0) {
        boardBusy = true;
        boardBusyUntil = at + answer.busyNs;
        pendingReply = answer.reply;
        return;
    }
    boardSends(answer.reply, at);
}

void SerialLink::boardSends(const QByteArray &bytes, qint64 at)
{
    qint64 finish = qMax(upLineFreeAt, at);
    for (char c : bytes) {
        finish += byteNs();
        fromBoard.push_back({ finish, quint8(c) });
    }
    upLineFreeAt = finish;
}

void SerialLink::bridgeSends(qint64 at)
{
    const int pieces = qMin(current.splitPieces, int(bridgeBuffer.size()));
    const qint64 sendAt = qMax(lastPacketAt, at + current.latencyMs * kNsPerMs + shaper.jitterNs());
    shaper.segmentSent();
    int offset = 0;
    for (int i = 0; i < pieces; ++i) {
        const int size = (bridgeBuffer.size() - offset) / (pieces - i);
        towardsClient.push_back(
            { sendAt + i * current.splitGapMs * kNsPerMs, bridgeBuffer.mid(offset, size) });
        offset += size;
    }
    lastPacketAt = towardsClient.back().at;
    bridgeBuffer.clear();
}
