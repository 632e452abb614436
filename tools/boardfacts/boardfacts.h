#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

// The boards the stand-ins stand in for.
enum class BoardKind { Uno, Mega };

// The fixed facts of a board kind, for every stand-in: the emulated
// bootloaders, the simulated boards and the tests' scripted module.
struct BoardTraits
{
    const char *mcu; // the simulator's name of the MCU
    const char *partName; // as its data sheet names it
    const char *name; // as AT+MCUUPDATE names it
    int stkVersion; // the STK500 version its bootloader speaks
    quint32 clockHz;
    quint32 flashBytes;
    quint32 bootStart; // byte address of the boot section, where the MCU starts
    int pageBytes; // flash page written by one SPM page write
    int eepromBytes;
    std::array<quint8, 3> signature;
    quint8 lowFuse;
    quint8 highFuse;
    quint8 extendedFuse;
    quint8 lockBits;
    // What one page costs the emulated bootloader before it answers again:
    // erasing and writing it.
    qint64 pageWriteNs;

    QByteArray signatureBytes() const;
};

// Apart from upload/boards.* on purpose: a slip there must not hide behind the same slip here.
inline constexpr BoardTraits kBoardTraits[] = {
    { "atmega328p",
      "ATmega328P",
      "UNO",
      1,
      16000000,
      0x8000,
      0x7E00,
      128,
      1024,
      { 0x1E, 0x95, 0x0F },
      0xFF,
      0xDE,
      0xFD,
      0xCF,
      4500000 },
    { "atmega2560",
      "ATmega2560",
      "MEGA",
      2,
      16000000,
      0x40000,
      0x3E000,
      256,
      4096,
      { 0x1E, 0x98, 0x01 },
      0xFF,
      0xD8,
      0xFD,
      0xCF,
      9000000 },
};

constexpr const BoardTraits &boardTraits(BoardKind kind)
{
    return kBoardTraits[int(kind)];
}

// "UNO" or "MEGA" (any case), the names AT+MCUUPDATE uses.
std::optional<BoardKind> boardKindFromName(const QString &name);
