#include "boardlink.h"

#include "boardfiles.h"
#include "intelhex.h"

#include <QDebug>
#include <QEventLoop>
#include <QTimer>

BoardLink::BoardLink(SimulatedBoard &board)
    : target(board)
{
    connect(
        &target, &SimulatedBoard::bytesFromMcu, this,
        [this](const QByteArray &bytes) {
            buffer.append(bytes);
            emit arrived();
        },
        Qt::QueuedConnection);
    connect(
        &target, &SimulatedBoard::resetDone, this,
        [this](ResetCause cause) { resetsSeen.append(cause); }, Qt::QueuedConnection);
}

bool BoardLink::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &BoardLink::arrived, &loop, [&] {
        if (done())
            loop.quit();
    });
    timeout.start(timeoutMs);
    loop.exec();
    return done();
}

bool BoardLink::waitForBytes(int count, int timeoutMs)
{
    return waitUntil([&] { return buffer.size() >= count; }, timeoutMs);
}

bool BoardLink::waitForText(const QByteArray &text, int timeoutMs)
{
    return waitUntil([&] { return buffer.contains(text); }, timeoutMs);
}

QByteArray BoardLink::take(int count)
{
    const QByteArray front = buffer.left(count);
    buffer.remove(0, front.size());
    return front;
}

std::unique_ptr<SimulatedBoard> boardWithBootloader(BoardKind kind, QString *why)
{
    const QString path = BoardFiles::bootloaderHex(kind);
    if (path.isEmpty()) {
        *why = QStringLiteral("no bootloader, missing: ") + BoardFiles::missing();
        return nullptr;
    }
    auto board = std::make_unique<SimulatedBoard>(kind);
    if (!board->loadBootloader(path)) {
        *why = board->errorString();
        return nullptr;
    }
    return board;
}

QByteArray sketchImage(const BoardFiles::Sketch &sketch, QString *why)
{
    if (sketch.hexPath.isEmpty()) {
        *why = QStringLiteral("no sketch %1 in this build").arg(sketch.name);
        return QByteArray();
    }
    const HexContents hex = readIntelHexFile(sketch.hexPath);
    if (!hex.ok()) {
        *why = hex.error;
        return QByteArray();
    }
    return flatImage(hex);
}

bool SketchBoard::prepare(const QString &sketchName, const QByteArray &preload, double speed)
{
    sketch = BoardFiles::sketch(sketchName);
    QString why;
    image = sketchImage(sketchName, &why);
    board = boardWithBootloader(sketch.kind, &why);
    if (image.isEmpty() || !board) {
        qWarning().noquote() << why;
        return false;
    }
    if (!preload.isEmpty() && !board->loadProgram(preload))
        return false;
    board->setSpeed(speed);
    link = std::make_unique<BoardLink>(*board);
    return board->start();
}

QByteArray sketchImage(const QString &name, QString *why)
{
    const BoardFiles::Sketch sketch = BoardFiles::sketch(name);
    if (sketch.hexPath.isEmpty()) {
        *why = QStringLiteral("no sketch %1, missing: %2").arg(name, BoardFiles::missing());
        return QByteArray();
    }
    return sketchImage(sketch, why);
}
