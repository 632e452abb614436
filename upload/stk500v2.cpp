#include "upload/stk500v2.h"

#include "upload/boards.h"
#include "upload/uploadlog.h"

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

// Frame offsets: start, sequence, size (2), token, then the body, whose
// first byte is the command answered and the second the status.
constexpr int kSizeAt = 2;
constexpr int kTokenAt = 4;
constexpr int kStatusAt = kBodyAt + 1;
// CMD_SPI_MULTI answer body: command, status, four bytes received, status;
// the signature byte is the fourth received.
constexpr int kSpiMultiSignatureAt = kBodyAt + 5;
// CMD_READ_FLASH_ISP answer body around the data: command, status, ..., status.
constexpr int kReadFlashFraming = 3;

const ByteName kStatuses[] = {
    { kStatusOk, "STATUS_CMD_OK" },  { 0x80, "STATUS_CMD_TOUT" },
    { 0x81, "STATUS_RDY_BSY_TOUT" }, { 0x82, "STATUS_SET_PARAM_MISSING" },
    { 0xC0, "STATUS_CMD_FAILED" },   { 0xC1, "STATUS_CKSUM_ERROR" },
    { 0xC9, "STATUS_CMD_UNKNOWN" },
};

const ByteName kStepNames[] = {
    { kSignOn, "sign on" },
    { kGetParameter, "get parameter" },
    { kLoadAddress, "load address" },
    { kEnterProgModeIsp, "enter programming mode" },
    { kLeaveProgModeIsp, "leave programming mode" },
    { kProgramFlashIsp, "program flash" },
    { kReadFlashIsp, "read flash" },
    { kSpiMulti, "read signature" },
};

const quint8 kParameters[] = { kParamHwVersion, kParamSwMajor, kParamSwMinor, kParamVTarget };

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

quint8 byteAt(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

ReplyVerdict refuse(const QString &reason)
{
    return ReplyVerdict { false, reason };
}

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
    // The debug labels are kept as written: see docs/kept-from-the-design.md.
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

QString stepName(const QByteArray &frame)
{
    return stepNameOf(kStepNames, frame, kBodyAt);
}

} // namespace stk500v2

using namespace stk500v2;

ReplyVerdict judgeV2Reply(const QByteArray &reply, quint8 sequence, quint8 command, int expected)
{
    if (reply.isEmpty())
        return refuse(QStringLiteral("no reply"));
    if (byteAt(reply, 0) != kMessageStart)
        return refuse(
            QStringLiteral("%1 where MESSAGE_START 0x1B was due").arg(hexByte(byteAt(reply, 0))));
    if (reply.size() > kSequenceAt && byteAt(reply, kSequenceAt) != sequence)
        return refuse(QStringLiteral("sequence number %1 where %2 was due")
                          .arg(hexByte(byteAt(reply, kSequenceAt)), hexByte(sequence)));
    if (reply.size() <= kTokenAt)
        return refuse(lengthReason(reply.size(), expected));
    if (byteAt(reply, kTokenAt) != kToken)
        return refuse(
            QStringLiteral("token %1 where 0x0E was due").arg(hexByte(byteAt(reply, kTokenAt))));
    const int bodySize = byteAt(reply, kSizeAt) << 8 | byteAt(reply, kSizeAt + 1);
    const int frameSize = bodySize + kFrameOverhead;
    // A whole frame of another length than due may still say why: judge its
    // content before its length.
    if (reply.size() >= frameSize) {
        const quint8 sum = checksum(reply.left(frameSize - 1));
        const quint8 sent = byteAt(reply, frameSize - 1);
        if (sum != sent)
            return refuse(
                QStringLiteral("checksum %1 where %2 was due").arg(hexByte(sent), hexByte(sum)));
        if (bodySize < 2)
            return refuse(QStringLiteral("an answer of %1 bytes, without a status").arg(bodySize));
        if (byteAt(reply, kBodyAt) != command)
            return refuse(QStringLiteral("an answer to command %1 where %2 was due")
                              .arg(hexByte(byteAt(reply, kBodyAt)), hexByte(command)));
        const quint8 status = byteAt(reply, kStatusAt);
        if (status != kStatusOk)
            return refuse(QStringLiteral("status %1").arg(namedByte(kStatuses, status)));
    }
    if (reply.size() != expected || frameSize != expected)
        return refuse(lengthReason(reply.size(), expected));
    return ReplyVerdict { true, QString() };
}

int signatureByteOfV2Reply(const QByteArray &reply)
{
    if (reply.size() != kSpiMultiReply || byteAt(reply, kSpiMultiReply - 2) != kStatusOk)
        return -1;
    return byteAt(reply, kSpiMultiSignatureAt);
}

std::optional<QByteArray> pageOfV2Reply(const QByteArray &reply, quint8 sequence, int count)
{
    const int bodySize = count + kReadFlashFraming;
    if (reply.size() != bodySize + kFrameOverhead)
        return std::nullopt;
    if (byteAt(reply, 0) != kMessageStart || byteAt(reply, kSequenceAt) != sequence
        || byteAt(reply, kSizeAt) != ((bodySize >> 8) & 0xFF)
        || byteAt(reply, kSizeAt + 1) != (bodySize & 0xFF) || byteAt(reply, kTokenAt) != kToken)
        return std::nullopt;
    if (checksum(reply.left(reply.size() - 1)) != byteAt(reply, reply.size() - 1))
        return std::nullopt;
    if (byteAt(reply, kBodyAt) != kReadFlashIsp || byteAt(reply, kStatusAt) != kStatusOk
        || byteAt(reply, kStatusAt + 1 + count) != kStatusOk)
        return std::nullopt;
    return reply.mid(kStatusAt + 1, count);
}

bool Stk500v2Upload::enter(const QByteArray &stray)
{
    qCDebug(lcUpload) << "read send_sign_on reply 1=" << stray.toHex(' ');
    QByteArray greeting;
    if (!send_step(signOn(seq_num), &greeting)) {
        name_other_board(greeting);
        return false;
    }
    ++seq_num;
    for (quint8 id : kParameters) {
        if (!send_step(getParameter(seq_num, id)))
            return false;
        ++seq_num;
    }
    if (!send_step(enterProgMode(seq_num)))
        return false;
    ++seq_num;
    QByteArray signature;
    for (quint8 index = 0; index < kSignatureBytes; ++index) {
        QByteArray reply;
        if (!send_step(readSignature(seq_num, index), &reply))
            return false;
        ++seq_num;
        const int value = signatureByteOfV2Reply(reply);
        if (value >= 0)
            signature += static_cast<char>(value);
    }
    return signature_matches(signature);
}

bool Stk500v2Upload::address_due(quint32 word) const
{
    // Program-flash and read-flash advance the MEGA2560's address; the other
    // boards keep one before every page.
    return !board.addressAdvances || !addressCarriesOn(next_word, word);
}

bool Stk500v2Upload::write_page(const QByteArray &page)
{
    // The bootloader erases the pages in the order it is sent them, from the
    // first on.
    const auto word = static_cast<quint32>(file_offset / kBytesPerWord);
    if (address_due(word)) {
        // Kept as users know it: see docs/kept-from-the-design.md.
        if (!send_or_log(loadAddress(seq_num, word), "send stk header erro"))
            return false;
        ++seq_num;
    }
    if (!send_or_log(programFlash(seq_num, page), "send data error"))
        return false;
    ++seq_num;
    next_word = word + board.pageSize / kBytesPerWord;
    return true;
}

QString Stk500v2Upload::read_page(qint64 offset, int count, QByteArray *page)
{
    const auto word = static_cast<quint32>(offset / kBytesPerWord);
    if (address_due(word)) {
        const StepResult address = transact(data, loadAddress(seq_num++, word));
        if (!address.ok)
            return QStringLiteral("no reply to the load-address command for %1 while reading: %2")
                .arg(hexAddress(offset), address.reason);
    }
    const quint8 read_sequence = seq_num++;
    const StepResult read = transact(data, readFlash(read_sequence, count));
    if (!read.ok)
        return QStringLiteral("no complete reply to the read-flash command at %1: %2")
            .arg(hexAddress(offset), read.reason);
    const std::optional<QByteArray> bytes = pageOfV2Reply(read.reply, read_sequence, count);
    if (!bytes)
        return QStringLiteral("malformed reply to the read-flash command at %1")
            .arg(hexAddress(offset));
    next_word = word + static_cast<quint32>(count / kBytesPerWord);
    *page = *bytes;
    return QString();
}

void Stk500v2Upload::leave()
{
    send_leave(leaveProgMode(seq_num));
}

bool Stk500v2Upload::in_protocol(const QByteArray &reply) const
{
    return byteAt(reply, 0) == kMessageStart;
}

QString Stk500v2Upload::step_name(const QByteArray &bytes) const
{
    return stepName(bytes);
}
