#pragma once

#include "boardfacts.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The board behind a module: its part and the bootloader protocol it speaks
// (UNO: ATmega328P, STK500 version 1; MEGA: ATmega2560, version 2).
using BoardType = BoardKind;

QString boardTypeName(BoardType board);

// How the module's bridge cuts the board's bytes into TCP segments.
enum class BridgeMode {
    Packed, // one segment once the line has been idle 4 byte times, or 512 bytes
    Bytes, // every byte its own segment, the moment the UART has it
    Random // segments of random length with a little jitter, from a seed
};

QString bridgeModeName(BridgeMode mode);

// How the serial line and the network between client and board behave.
struct LinkOptions
{
    int baud = 0; // serial line speed; 0 lets bytes cross at once
    int latencyMs = 0; // network delay added in each direction
    qint64 pageWriteUs = -1; // time to write one flash page; -1: the part's own
    BridgeMode bridge = BridgeMode::Packed;
    quint32 bridgeSeed = 1; // for BridgeMode::Random
    // The chip's UART receive: two bytes of buffer plus the shift register,
    // filled at the line's rate whether the program reads or not; a byte
    // arriving when both are full is lost (data overrun).
    bool lossyUart = false;
};

// Failures the upload code must survive. Command numbers count the
// bootloader commands received since the board's last reset, from 1.
struct FaultOptions
{
    int splitPieces = 1; // every packet to the data client in this many pieces
    int splitGapMs = 50; // ... spread this far apart
    int shortReplyAt = 0; // the reply to this command lacks its last byte
    int longReplyAt = 0; // the reply to this command has one byte too many
    int noReplyAt = 0; // this command is carried out but never answered
    int closeDataAt = 0; // the data connection is closed when this command arrives
    bool refuseAt = false; // nothing listens on the AT port
    bool refuseData = false; // nothing listens on the data port
    bool oneByteAtReply = false; // AT commands are answered with a single byte
    int stopAnnouncingAfterMs = -1; // -1: announce for as long as the module runs
    bool smallReceiveBuffer
        = false; // the chip's receive buffer: bytes arriving while a page is written are lost
    int corruptPage = -1; // the first byte of this flash page reads back wrong after every write
};

struct ModuleOptions
{
    QHostAddress address { QStringLiteral("127.0.0.2") };
    quint16 dataPort = 0; // 0: any free port
    quint16 atPort = 0;
    QString name; // empty: "vmodule-" and the address's last number
    BoardType board = BoardType::Mega;
    int announceIntervalMs = 1000; // 0: never announce
    QHostAddress announceAddress { QHostAddress::LocalHost };
    quint16 announcePort = 3333;
    bool startInBootloader = false; // otherwise the board runs its application until reset
    // The board's MCU simulated with its real bootloader instead of the
    // emulated one (needs libsimavr in the build), and its simulated time
    // per wall-clock time (0: as fast as the host can).
    bool simulatedBoard = false;
    double simulationSpeed = 1.0;
    QByteArray initialFlash; // empty: erased
    LinkOptions link;
    FaultOptions faults;
};
