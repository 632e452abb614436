#include "stkframes.h"

#include "testkit.h"

namespace StkFrames {

using TestKit::hex;

namespace {
QByteArray bigEndian16(int value)
{
    QByteArray bytes;
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
    bytes.append(static_cast<char>(value & 0xFF));
    return bytes;
}
} // namespace

QByteArray v1(quint8 command, const QByteArray &arguments)
{
    return QByteArray(1, static_cast<char>(command)) + arguments + kCrcEop;
}

QByteArray v1LoadAddress(quint16 word)
{
    QByteArray littleEndian;
    littleEndian.append(static_cast<char>(word & 0xFF));
    littleEndian.append(static_cast<char>(word >> 8));
    return v1(0x55, littleEndian);
}

QByteArray v1ProgramPage(const QByteArray &data)
{
    return v1(0x64, bigEndian16(data.size()) + 'F' + data);
}

QByteArray v1ReadPage(int count)
{
    return v1(0x74, bigEndian16(count) + 'F');
}

QByteArray v1SetDevice()
{
    return hex("428600000101010103ffffffff008004000000800020");
}

QByteArray v2(quint8 sequence, const QByteArray &body)
{
    QByteArray frame;
    frame.append(kMessageStart);
    frame.append(static_cast<char>(sequence));
    frame.append(bigEndian16(body.size()));
    frame.append(kToken);
    frame.append(body);
    char checksum = 0;
    for (char c : frame)
        checksum ^= c;
    frame.append(checksum);
    return frame;
}

QByteArray v2SignOn(quint8 sequence)
{
    return v2(sequence, hex("01"));
}

QByteArray v2GetParameter(quint8 sequence, quint8 id)
{
    return v2(sequence, hex("03") + QByteArray(1, static_cast<char>(id)));
}

QByteArray v2EnterBody()
{
    // timeout, stabDelay, cmdexeDelay, synchLoops, byteDelay, pollValue,
    // pollIndex and the ISP "programming enable" instruction.
    return hex("10c8641920005303ac530000");
}

QByteArray v2Enter(quint8 sequence)
{
    return v2(sequence, v2EnterBody());
}

QByteArray v2Signature(quint8 sequence, quint8 index)
{
    return v2(sequence, hex("1d0404003000") + QByteArray(1, static_cast<char>(index)) + hex("00"));
}

QByteArray v2LoadAddress(quint8 sequence, quint32 wordAddress)
{
    QByteArray body = hex("0680");
    body.append(static_cast<char>((wordAddress >> 16) & 0xFF));
    body.append(bigEndian16(static_cast<int>(wordAddress & 0xFFFF)));
    return v2(sequence, body);
}

QByteArray v2ProgramPageBody(const QByteArray &page)
{
    // mode (page write), delay, and the ISP instructions for load page,
    // write page and read; the bootloader needs only the data.
    return hex("13") + bigEndian16(page.size()) + hex("c10a404c200000") + page;
}

QByteArray v2ProgramPage(quint8 sequence, const QByteArray &page)
{
    return v2(sequence, v2ProgramPageBody(page));
}

QByteArray v2ReadFlashBody(int count)
{
    return hex("14") + bigEndian16(count) + hex("20");
}

QByteArray v2ReadFlash(quint8 sequence, int count)
{
    return v2(sequence, v2ReadFlashBody(count));
}

QByteArray v2LeaveBody()
{
    return hex("110101");
}

QByteArray v2Leave(quint8 sequence)
{
    return v2(sequence, v2LeaveBody());
}

} // namespace StkFrames
