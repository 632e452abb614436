#pragma once

#include "boardfacts.h"
#include "flash.h"

#include <QByteArray>
#include <QString>

#include <initializer_list>

// Bytes given as numbers, for protocol answers.
QByteArray bytesOf(std::initializer_list<quint8> bytes);

// What a bootloader did with one complete command.
struct BootloaderReply
{
    QByteArray request; // the command's bytes as they arrived
    QByteArray bytes; // the answer it sends back on the serial line
    quint8 command = 0; // the command byte (version 2: the body's first byte)
    QString summary; // one line for the command log
    qint64 busyNs = 0; // time spent (writing a page) before the answer goes out
    int writtenAddress = -1; // first flash byte programmed, -1 when none
    int writtenLength = 0;
    bool leavesBootloader = false; // the board starts its application afterwards
};

// A board's bootloader behind its serial line: it is fed the bytes that
// reach the chip one at a time and answers complete commands. Plain code, no
// sockets and no clock, so the protocol can be tested byte for byte.
class Bootloader
{
public:
    Bootloader(const BoardTraits &part, Flash &flash);
    virtual ~Bootloader() = default;
    Bootloader(const Bootloader &) = delete;
    Bootloader &operator=(const Bootloader &) = delete;

    // Takes one byte; returns true when it completed a command, whose
    // effect has then happened and whose answer is in *reply.
    virtual bool feed(quint8 byte, BootloaderReply *reply) = 0;
    // As after a reset of the board: a half-received command is forgotten.
    virtual void reset() = 0;
    virtual const char *protocolName() const = 0;

    // Flash addresses in the protocols count 16-bit words.
    static constexpr quint32 kBytesPerWord = 2;

    const BoardTraits &part() const { return partInfo; }
    QByteArray eeprom() const { return eepromMemory; }
    // The time one flash page costs; the part's own unless overridden.
    void setPageWriteNs(qint64 ns) { pageWriteNs = ns; }

    // The byte an ISP instruction a b c d reads from the part (signature,
    // fuses, lock bits, flash or EEPROM); instructions that write read 0.
    quint8 ispRead(quint8 a, quint8 b, quint8 c) const;

protected:
    void writeEeprom(quint32 address, const QByteArray &data);
    QByteArray readEeprom(quint32 address, int length) const;

    BoardTraits partInfo;
    Flash &flash;
    QByteArray eepromMemory;
    qint64 pageWriteNs;
};
