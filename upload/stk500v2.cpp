#include "upload/stk500v2.h"

#include "upload/replyjudge.h"

namespace stk500v2 {
namespace {
constexpr int kTries = 5;
constexpr int kWaitMs = 3000;

// Reply lengths of the bootloader, whole frames.
constexpr int kSignOnReply = 17; // command, status, name length 8, "AVRISP_2"
constexpr int kParameterReply = 9; // command, status, value
constexpr int kStatusReply = 8; // command, status
constexpr int kSpiMultiReply = 13; // command, status, 4 bytes received, status
constexpr int kReadFlashExtra = 9; // command, status, data, status in a frame

constexpr quint32 kExtendedAddressFlag = 0x80000000U;

// Enter programming mode: timeout 200, stabilisation delay 100, command delay
// 25, 32 synchronisation loops, byte delay 0, poll value 0x53 at index 3, then
// the ISP programming-enable instruction AC 53 00 00.
const char kEnterProgModeBody[] = { '\x10', '\xC8', '\x64', '\x19', '\x20', '\x00',
                                    '\x53', '\x03', '\xAC', '\x53', '\x00', '\x00' };
// Program flash: 256 bytes, mode 0xC1 (page mode, ready/busy polling, write
// page), delay 10, instructions 0x40 load page, 0x4C write page, 0x20 read,
// poll values 00 00.
const char kProgramFlashHeader[]
    = { '\x13', '\x01', '\x00', '\xC1', '\x0A', '\x40', '\x4C', '\x20', '\x00', '\x00' };
// Leave programming mode: pre-delay 1, post-delay 1.
const char kLeaveProgModeBody[] = { '\x11', '\x01', '\x01' };

constexpr quint8 kSpiBytesOut = 4;
constexpr quint8 kSpiBytesIn = 4;
constexpr quint8 kSpiReceiveStart = 0;
constexpr quint8 kInstructionReadSignature = 0x30;
constexpr quint8 kInstructionReadProgramMemory = 0x20;

// The answer must repeat the message's sequence number and command.
ReplyVerdict judge(const QByteArray &message, const QByteArray &reply, int expected)
{
    return judgeV2Reply(reply, static_cast<quint8>(message.at(kSequenceAt)),
                        static_cast<quint8>(message.at(kBodyAt)), expected);
}

StkCommand command(quint8 sequence, const QByteArray &body, int expected, const char *label,
                   int tries = kTries)
{
    return StkCommand {
        frame(sequence, body), expected, tries, kWaitMs, label, nullptr, {}, judge
    };
}

quint8 byteOf(quint32 value, int shift)
{
    return static_cast<quint8>((value >> shift) & 0xFF);
}
} // namespace

QByteArray frame(quint8 sequence, const QByteArray &body)
{
    const auto size = static_cast<quint16>(body.size());
    QByteArray bytes;
    bytes.reserve(body.size() + kFrameOverhead);
    bytes.append(static_cast<char>(kMessageStart));
    bytes.append(static_cast<char>(sequence));
    bytes.append(static_cast<char>(byteOf(size, 8)));
    bytes.append(static_cast<char>(byteOf(size, 0)));
    bytes.append(static_cast<char>(kToken));
    bytes.append(body);
    bytes.append(static_cast<char>(checksum(bytes)));
    return bytes;
}

bool addressCarriesOn(qint64 nextWord, quint32 word)
{
    // Word addresses with their low 16 bits 0 start a new extended address byte.
    constexpr quint32 kWithinSegment = 0xFFFF;
    return nextWord == static_cast<qint64>(word) && (word & kWithinSegment) != 0;
}

QByteArray signOnBody()
{
    return commandBytes({ kSignOn });
}

QByteArray getParameterBody(quint8 id)
{
    return commandBytes({ kGetParameter, id });
}

QByteArray enterProgModeBody()
{
    return QByteArray(kEnterProgModeBody, sizeof kEnterProgModeBody);
}

QByteArray readSignatureBody(quint8 index)
{
    return commandBytes({ kSpiMulti, kSpiBytesOut, kSpiBytesIn, kSpiReceiveStart,
                          kInstructionReadSignature, 0x00, index, 0x00 });
}

QByteArray loadAddressBody(quint32 wordAddress)
{
    const quint32 address = kExtendedAddressFlag | wordAddress;
    return commandBytes({ kLoadAddress, byteOf(address, 24), byteOf(address, 16),
                          byteOf(address, 8), byteOf(address, 0) });
}

QByteArray programFlashBody(const QByteArray &page)
{
    QByteArray body;
    body.reserve(static_cast<int>(sizeof kProgramFlashHeader) + kPageSize);
    body.append(kProgramFlashHeader, sizeof kProgramFlashHeader);
    body.append(page.left(kPageSize));
    body.append(kPageSize - qMin(page.size(), kPageSize), '\xFF');
    return body;
}

QByteArray leaveProgModeBody()
{
    return QByteArray(kLeaveProgModeBody, sizeof kLeaveProgModeBody);
}

QByteArray readFlashBody(int count)
{
    const auto size = static_cast<quint16>(count);
    return commandBytes(
        { kReadFlashIsp, byteOf(size, 8), byteOf(size, 0), kInstructionReadProgramMemory });
}

StkCommand signOn(quint8 sequence)
{
    return command(sequence, signOnBody(), kSignOnReply, "read send_sign_on reply =");
}

StkCommand getParameter(quint8 sequence, quint8 id)
{
    return command(sequence, getParameterBody(id), kParameterReply, nullptr);
}

StkCommand enterProgMode(quint8 sequence)
{
    return command(sequence, enterProgModeBody(), kStatusReply, nullptr);
}

StkCommand readSignature(quint8 sequence, quint8 index)
{
    return command(sequence, readSignatureBody(index), kSpiMultiReply, "read send stk500 multi =");
}

StkCommand loadAddress(quint8 sequence, quint32 wordAddress)
{
    return command(sequence, loadAddressBody(wordAddress), kStatusReply,
                   "read send_mtk_header_ reply =");
}

StkCommand programFlash(quint8 sequence, const QByteArray &page)
{
    return command(sequence, programFlashBody(page), kStatusReply, "read send_hw_ reply =");
}

StkCommand leaveProgMode(quint8 sequence)
{
    return command(sequence, leaveProgModeBody(), kStatusReply, nullptr);
}

StkCommand readFlash(quint8 sequence, int count)
{
    return command(sequence, readFlashBody(count), count + kReadFlashExtra, "read flash reply =");
}

} // namespace stk500v2
