#include "simulatedbridge.h"

#include "boardfiles.h"
#include "bridgeshaper.h"
#include "precisewake.h"
#include "seriallink.h"
#include "simulatedboard.h"

#include <QElapsedTimer>

#include <deque>
#include <limits>

namespace {
constexpr qint64 kNsPerSecond = 1000000000;
constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kBitsPerByte = 10; // start bit, eight data bits, stop bit
constexpr qint64 kNever = std::numeric_limits<qint64>::max();
// The timer's grain. A byte is handed to the board up to this much before
// its last bit would arrive: the simulated UART takes bytes no faster than
// its own rate anyway, and a timer would otherwise add up to a tick to every
// command. The board's output leaves as early at most; the simulator holds
// it back about as long.
constexpr qint64 kLookaheadNs = kNsPerMs;
// While the board is behind, the data connection is looked at again this often.
constexpr qint64 kThrottlePollNs = 1000000;
constexpr char kErased = '\xff';
// A random bridge sends a segment short of its length once the line has
// been idle this many frames.
constexpr qint64 kRandomIdleFrames = 2;

struct TimedByte
{
    qint64 at;
    char byte;
};

struct Packet
{
    qint64 at;
    QByteArray bytes;
};
} // namespace

struct SimulatedBridge::State
{
    std::unique_ptr<SimulatedBoard> board;
    LinkOptions link;
    // What start() loads into the application section, and whether it then
    // pulls RESET; started from a successful start() until stop().
    QByteArray startFlash;
    bool startInBootloader = false;
    bool started = false;
    QElapsedTimer clock;
    PreciseWake *wake = nullptr;
    double speed = 1.0;
    BridgeShaper shaper;
    // Frames the board holds its output for after the line fell idle.
    int boardIdleFrames = 0;
    // The last packet towards the client may still take bytes (random mode).
    bool segmentOpen = false;
    qint64 previousSegmentAt = 0;

    std::deque<TimedByte> towardsBoard;
    qint64 downLineFreeAt = 0;
    std::deque<Packet> towardsClient;
    qint64 upLineFreeAt = 0;
    // The data connection may hold bytes the board had no room for yet.
    bool clientWaiting = false;

    qint64 now() const { return clock.nsecsElapsed(); }
    qint64 byteNs() const { return link.baud > 0 ? kBitsPerByte * kNsPerSecond / link.baud : 0; }
    qint64 latencyNs() const { return link.latencyMs * kNsPerMs; }
};

SimulatedBridge::SimulatedBridge(const ModuleOptions &options, QObject *parent)
    : ModuleBoard(parent)
    , boardType(options.board)
    , d(std::make_unique<State>())
{
    d->speed = options.simulationSpeed;
    d->startFlash = options.initialFlash;
    d->startInBootloader = options.startInBootloader;
    d->clock.start();
    d->wake = new PreciseWake(this);
    connect(d->wake, &PreciseWake::due, this, &SimulatedBridge::pump);
}

SimulatedBridge::~SimulatedBridge()
{
    stop();
}

bool SimulatedBridge::available(QString *)
{
    return true;
}

bool SimulatedBridge::start(QString *error)
{
    if (!(d->board && d->board->isRunning()) && !startBoard(error))
        return false;
    d->started = true;
    if (d->startInBootloader)
        resetIntoBootloader();
    return true;
}

bool SimulatedBridge::startBoard(QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    const BoardKind kind = boardType;
    const QString hex = BoardFiles::bootloaderHex(kind);
    if (hex.isEmpty())
        return fail(QStringLiteral("no %1 bootloader in this build (missing: %2)")
                        .arg(QLatin1String(boardTraits(kind).name), BoardFiles::missing()));
    auto board = std::make_unique<SimulatedBoard>(kind);
    if (!board->loadBootloader(hex))
        return fail(QStringLiteral("simulated %1 board: %2")
                        .arg(QLatin1String(boardTraits(kind).name), board->errorString()));
    d->board = std::move(board);
    if (!d->startFlash.isEmpty())
        loadApplication(d->startFlash);
    d->board->setSpeed(d->speed);
    applyLinkToBoard();
    // Emitted on the simulation's thread, taken in on the module's.
    connect(d->board.get(), &SimulatedBoard::bytesFromMcu, this, &SimulatedBridge::fromBoard,
            Qt::QueuedConnection);
    connect(d->board.get(), &SimulatedBoard::bytesLost, this, &SimulatedBridge::bytesLost,
            Qt::QueuedConnection);
    if (!d->board->start()) {
        const QString why = d->board->errorString();
        d->board.reset();
        return fail(QStringLiteral("simulated %1 board: %2")
                        .arg(QLatin1String(boardTraits(kind).name), why));
    }
    return true;
}

void SimulatedBridge::stop()
{
    d->started = false;
    d->wake->wakeAfterNs(-1);
    if (d->board)
        d->board->stop();
}

void SimulatedBridge::setLink(const LinkOptions &link, const FaultOptions &)
{
    if (link.bridge != d->link.bridge || link.bridgeSeed != d->link.bridgeSeed)
        d->shaper.setMode(link.bridge, link.bridgeSeed);
    d->link = link;
    applyLinkToBoard();
}

void SimulatedBridge::applyLinkToBoard()
{
    if (!d->board)
        return;
    d->board->setLossyReceive(d->link.lossyUart);
    if (d->link.bridge == BridgeMode::Packed) {
        // Packed as the module's bridge packs the line's bytes, in simulated
        // time: a reply normally reaches the client in one piece.
        d->boardIdleFrames = SerialLink::kIdleByteTimes;
        d->board->setOutputGrouping(SerialLink::kIdleByteTimes, SerialLink::kBridgeBufferBytes);
    } else {
        // Every byte as the UART sends it; the bridge cuts the segments.
        d->boardIdleFrames = 0;
        d->board->setOutputGrouping(0, 1);
    }
}

void SimulatedBridge::setSpeed(double factor)
{
    if (d->board)
        d->board->setSpeed(factor);
    d->speed = factor;
}

void SimulatedBridge::clientReadable()
{
    d->clientWaiting = true;
    pump();
}

void SimulatedBridge::dropClientSide()
{
    d->towardsClient.clear();
    d->segmentOpen = false;
    d->clientWaiting = false;
}

void SimulatedBridge::resetIntoBootloader()
{
    if (d->board)
        d->board->resetIntoBootloader();
    d->towardsBoard.clear();
    d->downLineFreeAt = 0;
}

QByteArray SimulatedBridge::flash() const
{
    return d->board ? d->board->flash() : QByteArray();
}

void SimulatedBridge::setFlash(const QByteArray &contents)
{
    if (d->started)
        loadApplication(contents);
    else
        d->startFlash = contents;
}

void SimulatedBridge::loadApplication(const QByteArray &contents)
{
    const int application = int(d->board->traits().bootStart);
    QByteArray image = contents.left(application);
    image.append(application - image.size(), kErased);
    d->board->loadProgram(image, 0);
}

int SimulatedBridge::flashSize() const
{
    return int(boardTraits(boardType).flashBytes);
}

int SimulatedBridge::pageSize() const
{
    return boardTraits(boardType).pageBytes;
}

QByteArray SimulatedBridge::eeprom() const
{
    return QByteArray(boardTraits(boardType).eepromBytes, kErased);
}

int SimulatedBridge::resetCount() const
{
    return d->board ? d->board->resetCount() : 0;
}

int SimulatedBridge::lostBytes() const
{
    return d->board ? d->board->overrunBytes() : 0;
}

// Reads only as much as the module can hold: what the board has not taken
// yet counts against it, so a program that does not read backs the client up
// in TCP instead of losing bytes.
void SimulatedBridge::takeFromClient()
{
    d->clientWaiting = false;
    if (!readClient || !d->board)
        return;
    const int room = kHeldBytes - int(d->towardsBoard.size()) - d->board->pendingInput();
    if (room <= 0) {
        d->clientWaiting = true;
        return;
    }
    const QByteArray bytes = readClient(room);
    // A full read may have left more behind; the next look finds out.
    d->clientWaiting = bytes.size() == room;
    const qint64 arrival = d->now() + d->latencyNs();
    for (char byte : bytes) {
        const qint64 lineEnd = qMax(d->downLineFreeAt, arrival) + d->byteNs();
        d->downLineFreeAt = lineEnd;
        d->towardsBoard.push_back({ qMax(arrival, lineEnd - kLookaheadNs), byte });
    }
}

void SimulatedBridge::fromBoard(const QByteArray &bytes)
{
    const qint64 t = d->now();
    // The board packs its output as the bridge does: it sent these bytes at
    // its UART's rate and then waited kIdleByteTimes frames. The line cannot
    // have carried them before the board sent them, nor faster than its own
    // rate, and the bridge waits as long again after the last one. At the
    // UART's own rate that adds nothing to what the simulation took.
    const qint64 frame = d->speed > 0 ? qint64(double(d->board->uartFrameNs()) / d->speed) : 0;
    const qint64 count = bytes.size();
    const qint64 idle = d->boardIdleFrames;
    const qint64 boardStart = t - (idle + count) * frame;
    const qint64 lineEnd = qMax(d->upLineFreeAt, boardStart) + count * d->byteNs();
    d->upLineFreeAt = lineEnd;
    const qint64 due = qMax(t, lineEnd + idle * d->byteNs() - kLookaheadNs) + d->latencyNs();
    if (d->link.bridge == BridgeMode::Packed) {
        if (!d->towardsClient.empty() && d->towardsClient.back().at >= due
            && d->towardsClient.back().bytes.size() + bytes.size() <= kHeldBytes)
            d->towardsClient.back().bytes.append(bytes);
        else
            d->towardsClient.push_back({ due, bytes });
    } else {
        // Bytes mode: a segment per byte, sent at once. Random mode: a
        // segment takes bytes until it has its drawn length, or the line has
        // been idle a little while, and leaves with a little jitter.
        for (char byte : bytes) {
            if (d->segmentOpen && !d->towardsClient.empty()) {
                d->towardsClient.back().bytes.append(byte);
            } else {
                // Segments leave in order, whatever their jitter.
                d->previousSegmentAt = d->towardsClient.empty() ? 0 : d->towardsClient.back().at;
                d->towardsClient.push_back({ 0, QByteArray(1, byte) });
            }
            const bool full = d->shaper.segmentFull(d->towardsClient.back().bytes.size());
            const qint64 hold = full ? 0 : kRandomIdleFrames * frame;
            d->towardsClient.back().at
                = qMax(d->previousSegmentAt, due + hold + d->shaper.jitterNs());
            d->segmentOpen = !full;
            if (full)
                d->shaper.segmentSent();
        }
    }
    pump();
}

void SimulatedBridge::pump()
{
    if (d->clientWaiting)
        takeFromClient();
    const qint64 t = d->now();
    QByteArray due;
    while (!d->towardsBoard.empty() && d->towardsBoard.front().at <= t) {
        due.append(d->towardsBoard.front().byte);
        d->towardsBoard.pop_front();
    }
    if (!due.isEmpty() && d->board)
        d->board->writeToMcu(due);
    while (!d->towardsClient.empty() && d->towardsClient.front().at <= t) {
        const QByteArray packet = d->towardsClient.front().bytes;
        d->towardsClient.pop_front();
        if (d->towardsClient.empty())
            d->segmentOpen = false;
        emit toClient(packet);
    }

    qint64 next = kNever;
    if (!d->towardsBoard.empty())
        next = d->towardsBoard.front().at;
    if (!d->towardsClient.empty())
        next = qMin(next, d->towardsClient.front().at);
    qint64 waitNs = next == kNever ? -1 : qMax<qint64>(next - t, 0);
    if (d->clientWaiting)
        waitNs = waitNs < 0 ? kThrottlePollNs : qMin(waitNs, kThrottlePollNs);
    d->wake->wakeAfterNs(waitNs);
}
