#include "stk500v2bootloader.h"

namespace {
// AVR068 framing.
constexpr quint8 kMessageStart = 0x1B;
constexpr quint8 kToken = 0x0E;

// AVR068 commands.
constexpr quint8 kCmdSignOn = 0x01;
constexpr quint8 kCmdSetParameter = 0x02;
constexpr quint8 kCmdGetParameter = 0x03;
constexpr quint8 kCmdLoadAddress = 0x06;
constexpr quint8 kCmdEnterProgmodeIsp = 0x10;
constexpr quint8 kCmdLeaveProgmodeIsp = 0x11;
constexpr quint8 kCmdChipEraseIsp = 0x12;
constexpr quint8 kCmdProgramFlashIsp = 0x13;
constexpr quint8 kCmdReadFlashIsp = 0x14;
constexpr quint8 kCmdProgramEepromIsp = 0x15;
constexpr quint8 kCmdReadEepromIsp = 0x16;
constexpr quint8 kCmdProgramFuseIsp = 0x17;
constexpr quint8 kCmdReadFuseIsp = 0x18;
constexpr quint8 kCmdProgramLockIsp = 0x19;
constexpr quint8 kCmdReadLockIsp = 0x1A;
constexpr quint8 kCmdReadSignatureIsp = 0x1B;
constexpr quint8 kCmdReadOscCalIsp = 0x1C;
constexpr quint8 kCmdSpiMulti = 0x1D;

// AVR068 status and answer ids.
constexpr quint8 kStatusCmdOk = 0x00;
constexpr quint8 kStatusCmdFailed = 0xC0;
constexpr quint8 kStatusChecksumError = 0xC1;
constexpr quint8 kStatusCmdUnknown = 0xC9;
constexpr quint8 kAnswerChecksumError = 0xB0;

// AVR068 parameters.
constexpr quint8 kParamHwVer = 0x90;
constexpr quint8 kParamSwMajor = 0x91;
constexpr quint8 kParamSwMinor = 0x92;
constexpr quint8 kParamVtarget = 0x94;
constexpr quint8 kParamSckDuration = 0x98;

// What this bootloader reports about itself.
constexpr quint8 kHardwareVersion = 0x0F;
constexpr quint8 kSoftwareMajor = 0x02;
constexpr quint8 kSoftwareMinor = 0x0A;
constexpr quint8 kTargetTenthsOfVolt = 50;
constexpr quint8 kSckDuration = 0x02;
constexpr quint8 kOtherParameters = 0x00;

// Start, sequence, two size bytes and token before the body; checksum after.
constexpr int kFrameOverheadBytes = 6;

// Bit 31 of CMD_LOAD_ADDRESS asks for the extended address byte (bits 16-23).
constexpr quint32 kLoadExtendedFlag = 0x80000000u;
constexpr quint32 kWithinSegment = 0x0000FFFFu;
constexpr quint32 kExtendedByte = 0x00FF0000u;
// Body offsets: CMD_PROGRAM_*_ISP carries ten header bytes before the data.
constexpr int kProgramHeaderBytes = 10;
constexpr int kSpiMultiHeaderBytes = 4;
constexpr int kIspInstructionBytes = 4;

int bodyLength(const QByteArray &body, int index)
{
    return index < body.size() ? int(quint8(body.at(index))) : 0;
}

int countAt(const QByteArray &body, int index)
{
    return (bodyLength(body, index) << 8) | bodyLength(body, index + 1);
}

QByteArray withStatus(quint8 command, quint8 status)
{
    return bytesOf({ command, status });
}
} // namespace

Stk500v2Bootloader::Stk500v2Bootloader(const BoardTraits &part, Flash &flash)
    : Bootloader(part, flash)
{
}

quint8 Stk500v2Bootloader::parameterValue(quint8 id)
{
    switch (id) {
    case kParamHwVer:
        return kHardwareVersion;
    case kParamSwMajor:
        return kSoftwareMajor;
    case kParamSwMinor:
        return kSoftwareMinor;
    case kParamVtarget:
        return kTargetTenthsOfVolt;
    case kParamSckDuration:
        return kSckDuration;
    default:
        return kOtherParameters;
    }
}

QByteArray Stk500v2Bootloader::frame(quint8 sequence, const QByteArray &body)
{
    QByteArray out;
    out.reserve(body.size() + kFrameOverheadBytes);
    out.append(char(kMessageStart));
    out.append(char(sequence));
    out.append(char(body.size() >> 8));
    out.append(char(body.size() & 0xFF));
    out.append(char(kToken));
    out.append(body);
    quint8 checksum = 0;
    for (char c : qAsConst(out))
        checksum ^= quint8(c);
    out.append(char(checksum));
    return out;
}

void Stk500v2Bootloader::reset()
{
    state = State::Start;
    request.clear();
    body.clear();
    address = 0;
    programCommands = 0;
}

quint32 Stk500v2Bootloader::byteAddress() const
{
    return ((address & (kWithinSegment | kExtendedByte)) * kBytesPerWord) % quint32(flash.size());
}

bool Stk500v2Bootloader::feed(quint8 byte, BootloaderReply *reply)
{
    if (state == State::Start) {
        if (byte == kMessageStart) {
            request = QByteArray(1, char(byte));
            state = State::Sequence;
        }
        return false;
    }
    request.append(char(byte));
    switch (state) {
    case State::Start:
        return false;
    case State::Sequence:
        sequence = byte;
        state = State::SizeHigh;
        return false;
    case State::SizeHigh:
        bodySize = int(byte) << 8;
        state = State::SizeLow;
        return false;
    case State::SizeLow:
        bodySize |= byte;
        // An impossible size means this was no message start after all.
        state = bodySize > 0 && bodySize <= kMaxBodyBytes ? State::Token : State::Start;
        return false;
    case State::Token:
        state = byte == kToken ? State::Body : State::Start;
        body.clear();
        return false;
    case State::Body:
        body.append(char(byte));
        if (body.size() == bodySize)
            state = State::Checksum;
        return false;
    case State::Checksum:
        break;
    }
    state = State::Start;
    quint8 checksum = 0;
    for (int i = 0; i < request.size() - 1; ++i)
        checksum ^= quint8(request.at(i));
    *reply = BootloaderReply();
    reply->request = request;
    reply->command = quint8(body.at(0));
    request.clear();
    if (checksum != byte) {
        reply->summary = QStringLiteral("seq %1 checksum error").arg(sequence);
        reply->bytes = frame(sequence, withStatus(kAnswerChecksumError, kStatusChecksumError));
        return true;
    }
    reply->summary = QStringLiteral("seq %1 cmd 0x%2 body %3 bytes")
                         .arg(sequence)
                         .arg(reply->command, 2, 16, QLatin1Char('0'))
                         .arg(body.size());
    reply->bytes = frame(sequence, execute(body, reply));
    return true;
}

QByteArray Stk500v2Bootloader::execute(const QByteArray &b, BootloaderReply *reply)
{
    const quint8 command = quint8(b.at(0));
    const auto at = [&b](int i) { return quint8(i < b.size() ? b.at(i) : 0); };
    switch (command) {
    case kCmdSignOn: {
        QByteArray answer = withStatus(command, kStatusCmdOk);
        answer.append(char(sizeof(kSignOnName) - 1));
        answer.append(kSignOnName);
        return answer;
    }
    case kCmdGetParameter:
        return withStatus(command, kStatusCmdOk) + QByteArray(1, char(parameterValue(at(1))));
    case kCmdSetParameter:
    case kCmdEnterProgmodeIsp:
        return withStatus(command, kStatusCmdOk);
    case kCmdLeaveProgmodeIsp:
        reply->leavesBootloader = true;
        return withStatus(command, kStatusCmdOk);
    case kCmdChipEraseIsp:
        return withStatus(command, kStatusCmdFailed);
    case kCmdLoadAddress: {
        const quint32 value
            = (quint32(at(1)) << 24) | (quint32(at(2)) << 16) | (quint32(at(3)) << 8) | at(4);
        // Without bit 31 the extended byte stays what it was, as on the part.
        if (value & kLoadExtendedFlag)
            address = value & (kWithinSegment | kExtendedByte);
        else
            address = (address & kExtendedByte) | (value & kWithinSegment);
        return withStatus(command, kStatusCmdOk);
    }
    case kCmdProgramFlashIsp: {
        const int count = countAt(b, 1);
        const QByteArray data = b.mid(kProgramHeaderBytes, count);
        const quint32 start = byteAddress();
        flash.erasePage(programCommands);
        ++programCommands;
        flash.program(start, data);
        address += quint32(count) / kBytesPerWord;
        reply->busyNs = pageWriteNs;
        reply->writtenAddress = int(start);
        reply->writtenLength = data.size();
        return withStatus(command, kStatusCmdOk);
    }
    case kCmdReadFlashIsp: {
        const int count = countAt(b, 1);
        const QByteArray data = flash.read(byteAddress(), count);
        address += quint32(count) / kBytesPerWord;
        return withStatus(command, kStatusCmdOk) + data + QByteArray(1, char(kStatusCmdOk));
    }
    case kCmdProgramEepromIsp: {
        const int count = countAt(b, 1);
        writeEeprom(address, b.mid(kProgramHeaderBytes, count));
        address += quint32(count);
        return withStatus(command, kStatusCmdOk);
    }
    case kCmdReadEepromIsp: {
        const int count = countAt(b, 1);
        const QByteArray data = readEeprom(address, count);
        address += quint32(count);
        return withStatus(command, kStatusCmdOk) + data + QByteArray(1, char(kStatusCmdOk));
    }
    case kCmdProgramFuseIsp:
    case kCmdProgramLockIsp:
        return withStatus(command, kStatusCmdOk) + QByteArray(1, char(kStatusCmdOk));
    case kCmdReadFuseIsp:
    case kCmdReadLockIsp:
    case kCmdReadSignatureIsp:
    case kCmdReadOscCalIsp:
        // Body: command, return address, then the four instruction bytes.
        return withStatus(command, kStatusCmdOk)
            + bytesOf({ ispRead(at(2), at(3), at(4)), kStatusCmdOk });
    case kCmdSpiMulti: {
        // Body: command, NumTx, NumRx, RxStartAddr, TxData. A four-byte
        // instruction shifts back its own first two bytes, then the result.
        const int numTx = at(1);
        const int numRx = at(2);
        const int rxStart = at(3);
        const QByteArray tx = b.mid(kSpiMultiHeaderBytes, numTx);
        QByteArray shifted(qMax(numTx, rxStart + numRx), char(0));
        if (tx.size() == kIspInstructionBytes) {
            shifted[1] = tx.at(0);
            shifted[2] = tx.at(1);
            shifted[3] = char(ispRead(quint8(tx.at(0)), quint8(tx.at(1)), quint8(tx.at(2))));
        }
        return withStatus(command, kStatusCmdOk) + shifted.mid(rxStart, numRx)
            + QByteArray(1, char(kStatusCmdOk));
    }
    default:
        return withStatus(command, kStatusCmdUnknown);
    }
}
