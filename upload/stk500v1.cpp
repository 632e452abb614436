#include "upload/stk500v1.h"

#include "upload/replyjudge.h"

namespace stk500v1 {
namespace {
constexpr int kTries = 5;
constexpr int kWaitMs = 3000;
// Writing a page takes the bootloader a few milliseconds more.
constexpr int kPageTries = 10;
// The bootloader jumps into the new program on leaving; give it room.
constexpr int kLeaveWaitMs = 30000;

constexpr int kStatusReply = 2; // INSYNC OK
constexpr int kParameterReply = 3; // INSYNC value OK
constexpr int kSignatureReply = 5; // INSYNC three signature bytes OK
constexpr int kUniversalReply = 3; // INSYNC value OK

constexpr quint8 kInstructionReadEeprom = 0xA0;
constexpr quint8 kEepromHighAddress = 0x03;

// Set device: device code 0x86, revision 0, programming type 0, parallel mode 1,
// polling 1, self-timed 1, lock bytes 1, fuse bytes 3, flash poll FF FF, EEPROM
// poll FF FF, page 128 bytes, EEPROM 1 KiB, flash 32 KiB (sizes MSB first).
const char kSetDeviceBytes[]
    = { '\x42', '\x86', '\x00', '\x00', '\x01', '\x01', '\x01', '\x01', '\x03', '\xFF', '\xFF',
        '\xFF', '\xFF', '\x00', '\x80', '\x04', '\x00', '\x00', '\x00', '\x80', '\x00', '\x20' };
// Set device extended: command size 5, EEPROM page 4, PAGEL 0xD7, BS2 0xC2, reset disable 0.
const char kSetDeviceExtBytes[] = { '\x45', '\x05', '\x04', '\xD7', '\xC2', '\x00', '\x20' };

ReplyVerdict judge(const QByteArray &, const QByteArray &reply, int expected)
{
    return judgeV1Reply(reply, expected);
}

StkCommand command(QByteArray bytes, int expected, const char *label, int tries = kTries,
                   int waitMs = kWaitMs)
{
    return StkCommand { std::move(bytes), expected, tries, waitMs, label, nullptr, {}, judge };
}
} // namespace

StkCommand getSync()
{
    return command(commandBytes({ kGetSync, kEndOfPacket }), kStatusReply, "read hello reply 1=");
}

StkCommand getParameter(quint8 id)
{
    StkCommand result = command(commandBytes({ kGetParameter, id, kEndOfPacket }), kParameterReply,
                                "read send_A reply =");
    result.detail = "0x" + QByteArray::number(id, 16);
    return result;
}

StkCommand setDevice()
{
    return command(QByteArray(kSetDeviceBytes, sizeof kSetDeviceBytes), kStatusReply,
                   "read send_B reply 1=");
}

StkCommand setDeviceExt()
{
    return command(QByteArray(kSetDeviceExtBytes, sizeof kSetDeviceExtBytes), kStatusReply,
                   "read send_e reply 1=");
}

StkCommand enterProgMode()
{
    return command(commandBytes({ kEnterProgMode, kEndOfPacket }), kStatusReply,
                   "read send_p reply =");
}

StkCommand readSignature()
{
    return command(commandBytes({ kReadSign, kEndOfPacket }), kSignatureReply,
                   "read send_u reply =");
}

StkCommand universalReadEeprom(quint8 low)
{
    StkCommand result = command(commandBytes({ kUniversal, kInstructionReadEeprom,
                                               kEepromHighAddress, low, 0x00, kEndOfPacket }),
                                kUniversalReply, nullptr);
    result.sendLabel = "send v data =";
    return result;
}

StkCommand loadAddress(quint32 wordAddress)
{
    const auto low = static_cast<quint8>(wordAddress & 0xFF);
    const auto high = static_cast<quint8>((wordAddress >> 8) & 0xFF);
    return command(commandBytes({ kLoadAddress, low, high, kEndOfPacket }), kStatusReply,
                   "send header lenght =");
}

StkCommand programPage(const QByteArray &data)
{
    const auto count = static_cast<quint16>(data.size());
    QByteArray bytes = commandBytes({ kProgPage, static_cast<quint8>(count >> 8),
                                      static_cast<quint8>(count & 0xFF), kMemoryFlash });
    bytes.append(data);
    bytes.append(static_cast<char>(kEndOfPacket));
    return command(std::move(bytes), kStatusReply, "send data lenght =", kPageTries);
}

StkCommand leaveProgMode()
{
    return command(commandBytes({ kLeaveProgMode, kEndOfPacket }), kStatusReply,
                   "read send_q reply =", kTries, kLeaveWaitMs);
}

StkCommand readPage(int count)
{
    const auto size = static_cast<quint16>(count);
    return command(commandBytes({ kReadPage, static_cast<quint8>(size >> 8),
                                  static_cast<quint8>(size & 0xFF), kMemoryFlash, kEndOfPacket }),
                   count + kStatusReply, "read page reply =");
}

} // namespace stk500v1
