#pragma once

#include "boardfiles.h"
#include "boardlink.h"
#include "moduleoptions.h"
#include "simulatedboard.h"

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QString>

class ModuleThread;

namespace RealBoards {

// optiboot spends about 0.4 s on its LED after a reset and both bootloaders
// wait about a second for a first byte; a started program prints its line
// once a second.
constexpr int kSketchLineTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 3000;

// One upload of the real-board tests: a sketch to two boards of its kind
// through one bridge mode, with the chip's lossy UART receive or the paced
// one, with or without the command line's read-back. The window has no
// read-back: it takes the rows without --verify, the command line the rest.
// Together they cover every bridge mode with the lossy UART on both boards
// and the sketch past 128 KiB, without the whole cross product.
struct Road
{
    QString sketch;
    BridgeMode bridge = BridgeMode::Packed;
    bool lossyUart = false;
    bool verify = false;
    bool commandLine = false;
    // The sketch the boards hold before (empty: erased flash). The command
    // line then uploads with --backup, reads the new program back and puts
    // the earlier one back from the backup.
    QString heldBefore;
};
constexpr int kBoardsAtOnce = 2;

QList<Road> roads();
// One data row per road of that front end, in the column "road" (an index
// into roads()), named sketch/bridge/uart[/verify].
void addRoadRows(bool commandLine);
// The road's link at the line's real rate; a random bridge gets a seed of
// its own per road, which the module's log shows.
LinkOptions linkFor(const Road &road, int index);
// Empty when the flash holds the image and is erased from its end to the
// boot section; otherwise what differs.
QString flashProblem(const QByteArray &flash, const QByteArray &image, BoardKind kind);

// Why the simulated boards cannot run in this build, or empty.
QString missing();
// The avrdude program, or empty when it is not installed.
QString avrdudeProgram();

BoardType boardTypeOf(BoardKind kind);
// What AT+MCUUPDATE names the family, and the window's Device text for it.
QByteArray updateFamily(BoardKind kind);
QString deviceText(BoardKind kind);
// The flash without its trailing erased bytes, as avrdude writes a read-out.
QByteArray withoutErasedTail(const QByteArray &flash);

// Modules with simulated boards of one kind, silent (no announcements).
ModuleOptions simulatedModules(BoardKind kind, const QHostAddress &address);

// "AT+U2W=CLIENT\r\n" and "AT+MCUUPDATE=..." as the upload worker sends them:
// the board's bootloader then waits on the data port.
bool atHandshake(const QHostAddress &address, quint16 atPort, BoardKind kind, QString *error);

// Reads the line a started program prints, on a data connection of its own.
QByteArray readSketchLine(const QHostAddress &address, quint16 dataPort, const QByteArray &line,
                          int timeoutMs = kSketchLineTimeoutMs);

// How fast a board runs once its bootloader has been reached. Up to then it
// runs in real time: the bootloaders give a programmer only about a second
// of simulated time after a reset.
constexpr double kFastSpeed = 3.0;
constexpr double kRealTime = 1.0;
// How long a board may take to be reset and reached by an uploader.
constexpr int kReachedTimeoutMs = 10000;
// Once the module has reset its board and passed it bytes beyond
// `bytesBefore`, the board may run faster than real time.
bool speedUpOnceReached(ModuleThread &modules, int index, int resetsBefore, qint64 bytesBefore,
                        int timeoutMs = kReachedTimeoutMs);

// avrdude reading the whole flash through a module (-U flash:r:FILE:r),
// -c arduino for the UNO's optiboot, -c wiring for the MEGA's bootloader.
class FlashReader
{
public:
    static constexpr int kFinishTimeoutMs = 120000;

    FlashReader(BoardKind kind, const QHostAddress &address, quint16 dataPort, quint16 atPort,
                const QString &outputPath);
    ~FlashReader();
    FlashReader(const FlashReader &) = delete;
    FlashReader &operator=(const FlashReader &) = delete;

    // The AT handshake, then avrdude is started.
    bool start(QString *error);
    // True when avrdude finished with status 0.
    bool finish(int timeoutMs = kFinishTimeoutMs);
    QByteArray flash() const;
    QString log() const { return output; }

private:
    BoardKind kind;
    QHostAddress address;
    quint16 dataPort;
    quint16 atPort;
    QString outputPath;
    QProcess process;
    QString output;
};

} // namespace RealBoards
