#include "bootloader.h"

namespace {
// ISP instruction bytes (the parts' serial programming instruction set).
constexpr quint8 kIspReadSignature = 0x30;
constexpr quint8 kIspReadFlashLow = 0x20;
constexpr quint8 kIspReadFlashHigh = 0x28;
constexpr quint8 kIspReadEeprom = 0xA0;
constexpr quint8 kIspReadFuseOrExtended = 0x50;
constexpr quint8 kIspReadHighFuseOrLock = 0x58;
constexpr quint8 kIspReadCalibration = 0x38;
constexpr quint8 kIspSecondByteHigh = 0x08;
constexpr quint8 kCalibration = 0x80;
constexpr quint8 kNothing = 0x00;
// The third instruction byte of a signature read selects one of its bytes.
constexpr quint8 kSignatureIndexMask = 0x03;
constexpr char kErasedEeprom = char(0xFF);
} // namespace

QByteArray bytesOf(std::initializer_list<quint8> bytes)
{
    QByteArray out;
    out.reserve(int(bytes.size()));
    for (quint8 byte : bytes)
        out.append(char(byte));
    return out;
}

Bootloader::Bootloader(const BoardTraits &part, Flash &flash)
    : partInfo(part)
    , flash(flash)
    , eepromMemory(part.eepromBytes, kErasedEeprom)
    , pageWriteNs(part.pageWriteNs)
{
}

quint8 Bootloader::ispRead(quint8 a, quint8 b, quint8 c) const
{
    const quint32 word = (quint32(b) << 8) | c;
    switch (a) {
    case kIspReadSignature:
        return size_t(c & kSignatureIndexMask) < partInfo.signature.size()
            ? partInfo.signature[c & kSignatureIndexMask]
            : kNothing;
    case kIspReadFlashLow:
        return flash.at(word * kBytesPerWord);
    case kIspReadFlashHigh:
        return flash.at(word * kBytesPerWord + 1);
    case kIspReadEeprom:
        return quint8(readEeprom(word, 1).at(0));
    case kIspReadFuseOrExtended:
        return b == kIspSecondByteHigh ? partInfo.extendedFuse : partInfo.lowFuse;
    case kIspReadHighFuseOrLock:
        return b == kIspSecondByteHigh ? partInfo.highFuse : partInfo.lockBits;
    case kIspReadCalibration:
        return kCalibration;
    default:
        return kNothing;
    }
}

void Bootloader::writeEeprom(quint32 address, const QByteArray &data)
{
    const quint32 size = quint32(eepromMemory.size());
    for (int i = 0; i < data.size(); ++i)
        eepromMemory[int((address + quint32(i)) % size)] = data.at(i);
}

QByteArray Bootloader::readEeprom(quint32 address, int length) const
{
    const quint32 size = quint32(eepromMemory.size());
    QByteArray out;
    out.reserve(length);
    for (int i = 0; i < length; ++i)
        out.append(eepromMemory.at(int((address + quint32(i)) % size)));
    return out;
}
