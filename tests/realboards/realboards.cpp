#include "realboards.h"

#include "intelhex.h"
#include "modulethread.h"
#include "simulatedbridge.h"
#include "testkit.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

namespace RealBoards {

namespace {
using TestKit::kErased;
constexpr int kAtReplyTimeoutMs = 2000;
} // namespace

QList<Road> roads()
{
    constexpr BridgeMode packed = BridgeMode::Packed;
    constexpr BridgeMode bytes = BridgeMode::Bytes;
    constexpr BridgeMode random = BridgeMode::Random;
    constexpr bool lossy = true;
    constexpr bool verify = true;
    constexpr bool cli = true;
    return {
        { QStringLiteral("tiny-uno"), packed, !lossy, !verify, !cli, {} },
        { QStringLiteral("full-uno"), bytes, lossy, !verify, !cli, {} },
        { QStringLiteral("tiny-mega"), random, lossy, !verify, !cli, {} },
        { QStringLiteral("over64k-mega"), packed, lossy, !verify, !cli, {} },
        { QStringLiteral("over128k-mega"), bytes, lossy, !verify, !cli, {} },
        { QStringLiteral("tiny-uno"), random, lossy, verify, cli, {} },
        { QStringLiteral("full-uno"), packed, lossy, verify, cli, {} },
        { QStringLiteral("tiny-mega"), bytes, lossy, verify, cli, {} },
        { QStringLiteral("over64k-mega"), random, lossy, !verify, cli, {} },
        { QStringLiteral("full-mega"), random, lossy, verify, cli, {} },
        { QStringLiteral("full-uno"), bytes, !lossy, !verify, cli, QStringLiteral("tiny-uno") },
        { QStringLiteral("over64k-mega"), packed, !lossy, !verify, cli,
          QStringLiteral("tiny-mega") },
    };
}

void addRoadRows(bool commandLine)
{
    QTest::addColumn<int>("road");
    const QList<Road> all = roads();
    for (int i = 0; i < all.size(); ++i) {
        const Road &road = all.at(i);
        if (road.commandLine != commandLine)
            continue;
        const QString name
            = QStringLiteral("%1/%2/%3%4%5")
                  .arg(road.sketch, bridgeModeName(road.bridge),
                       road.lossyUart ? QStringLiteral("lossy") : QStringLiteral("paced"),
                       road.verify ? QStringLiteral("/verify") : QString(),
                       road.heldBefore.isEmpty() ? QString() : QStringLiteral("/backup"));
        QTest::newRow(qPrintable(name)) << i;
    }
}

LinkOptions linkFor(const Road &road, int index)
{
    LinkOptions link;
    link.bridge = road.bridge;
    link.bridgeSeed = quint32(index + 1);
    link.lossyUart = road.lossyUart;
    return link;
}

QString flashProblem(const QByteArray &flash, const QByteArray &image, BoardKind kind)
{
    if (flash.left(image.size()) != image)
        return QStringLiteral("the flash does not hold the image");
    const int bootStart = int(boardTraits(kind).bootStart);
    for (int at = image.size(); at < bootStart; ++at) {
        if (flash.at(at) != kErased)
            return QStringLiteral("the flash is not erased at 0x%1 after the image's %2 bytes")
                .arg(at, 0, 16)
                .arg(image.size());
    }
    return QString();
}

QString missing()
{
    QString why;
    if (!SimulatedBridge::available(&why))
        return why;
    return BoardFiles::missing();
}

QString avrdudeProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("avrdude"));
}

BoardType boardTypeOf(BoardKind kind)
{
    return kind == BoardKind::Uno ? BoardType::Uno : BoardType::Mega;
}

QByteArray updateFamily(BoardKind kind)
{
    return kind == BoardKind::Uno ? QByteArrayLiteral("UNO") : QByteArrayLiteral("MEGA");
}

QString deviceText(BoardKind kind)
{
    return kind == BoardKind::Uno ? QStringLiteral("UNO") : QStringLiteral("MEGA2560");
}

QByteArray withoutErasedTail(const QByteArray &flash)
{
    int end = flash.size();
    while (end > 0 && flash.at(end - 1) == kErased)
        --end;
    return flash.left(end);
}

ModuleOptions simulatedModules(BoardKind kind, const QHostAddress &address)
{
    ModuleOptions options;
    options.address = address;
    options.board = boardTypeOf(kind);
    options.simulatedBoard = true;
    options.announceIntervalMs = 0;
    return options;
}

bool atHandshake(const QHostAddress &address, quint16 atPort, BoardKind kind, QString *error)
{
    QTcpSocket socket;
    if (!TestKit::connectTo(socket, address, atPort, kConnectTimeoutMs)) {
        *error = QStringLiteral("AT port: ") + socket.errorString();
        return false;
    }
    if (!TestKit::atUpdateHandshake(socket, updateFamily(kind), kAtReplyTimeoutMs)) {
        *error = QStringLiteral("the module did not answer the AT handshake");
        return false;
    }
    return true;
}

QByteArray readSketchLine(const QHostAddress &address, quint16 dataPort, const QByteArray &line,
                          int timeoutMs)
{
    QTcpSocket socket;
    if (!TestKit::connectTo(socket, address, dataPort, kConnectTimeoutMs))
        return QByteArray();
    return TestKit::readUntil(
        socket, [&line](const QByteArray &received) { return received.contains(line); }, timeoutMs);
}

bool speedUpOnceReached(ModuleThread &modules, int index, int resetsBefore, qint64 bytesBefore,
                        int timeoutMs)
{
    const bool reached = QTest::qWaitFor(
        [&] {
            const ModuleCounters counts = modules.counters(index);
            return counts.resets > resetsBefore && counts.dataBytesIn > bytesBefore;
        },
        timeoutMs);
    if (reached)
        modules.setSimulationSpeed(index, kFastSpeed);
    return reached;
}

FlashReader::FlashReader(BoardKind kind, const QHostAddress &address, quint16 dataPort,
                         quint16 atPort, const QString &outputPath)
    : kind(kind)
    , address(address)
    , dataPort(dataPort)
    , atPort(atPort)
    , outputPath(outputPath)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
}

FlashReader::~FlashReader()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kConnectTimeoutMs);
    }
}

bool FlashReader::start(QString *error)
{
    QFile::remove(outputPath);
    if (!atHandshake(address, atPort, kind, error))
        return false;
    const bool uno = kind == BoardKind::Uno;
    process.start(
        avrdudeProgram(),
        { QStringLiteral("-p"), uno ? QStringLiteral("m328p") : QStringLiteral("m2560"),
          QStringLiteral("-c"), uno ? QStringLiteral("arduino") : QStringLiteral("wiring"),
          QStringLiteral("-P"), QStringLiteral("net:%1:%2").arg(address.toString()).arg(dataPort),
          QStringLiteral("-U"), QStringLiteral("flash:r:%1:r").arg(outputPath) });
    if (!process.waitForStarted(kConnectTimeoutMs)) {
        *error = QStringLiteral("avrdude: ") + process.errorString();
        return false;
    }
    return true;
}

bool FlashReader::finish(int timeoutMs)
{
    // Spins the caller's event loop: the window may be running on it.
    const bool finished
        = QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    output += QString::fromLocal8Bit(process.readAll());
    if (!finished) {
        process.kill();
        process.waitForFinished(kConnectTimeoutMs);
        output += QStringLiteral("\n(avrdude stopped after %1 ms)").arg(timeoutMs);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QByteArray FlashReader::flash() const
{
    QFile file(outputPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace RealBoards
