#include "part.h"

namespace {
constexpr qint64 kNsPerUs = 1000;
// Erasing and writing a 128-byte page on the ATmega328P.
constexpr qint64 kAtmega328pPageWriteUs = 4500;
// Erasing and then writing a 256-byte page on the ATmega2560.
constexpr qint64 kAtmega2560PageWriteUs = 9000;
} // namespace

PartInfo atmega328p()
{
    PartInfo part;
    part.name = "ATmega328P";
    part.flashBytes = 32 * 1024;
    part.pageBytes = 128;
    part.eepromBytes = 1024;
    part.signature = QByteArray::fromHex("1e950f");
    part.lowFuse = 0xFF;
    part.highFuse = 0xDE;
    part.extendedFuse = 0xFD;
    part.lockBits = 0xCF;
    part.pageWriteNs = kAtmega328pPageWriteUs * kNsPerUs;
    return part;
}

PartInfo atmega2560()
{
    PartInfo part;
    part.name = "ATmega2560";
    part.flashBytes = 256 * 1024;
    part.pageBytes = 256;
    part.eepromBytes = 4096;
    part.signature = QByteArray::fromHex("1e9801");
    part.lowFuse = 0xFF;
    part.highFuse = 0xD8;
    part.extendedFuse = 0xFD;
    part.lockBits = 0xCF;
    part.pageWriteNs = kAtmega2560PageWriteUs * kNsPerUs;
    return part;
}
