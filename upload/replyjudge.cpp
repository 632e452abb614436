#include "upload/replyjudge.h"

#include "upload/stk500v2frame.h"

namespace {
constexpr quint8 kV1Ok = 0x10; // Resp_STK_OK
constexpr quint8 kV1Failed = 0x11; // Resp_STK_FAILED
constexpr quint8 kV1NoDevice = 0x13; // Resp_STK_NODEVICE
constexpr quint8 kV1InSync = 0x14; // Resp_STK_INSYNC
constexpr quint8 kV2StatusOk = 0x00; // STATUS_CMD_OK

// Frame offsets: start, sequence, size (2), token, then the body.
constexpr int kV2SequenceAt = stk500v2::kSequenceAt;
constexpr int kV2SizeAt = 2;
constexpr int kV2TokenAt = 4;
constexpr int kV2BodyAt = stk500v2::kBodyAt;
// The body of an answer: its command id, then the status.
constexpr int kV2StatusAt = kV2BodyAt + 1;

constexpr int kSignatureBytes = 3;
// What a module answers to a command it does not carry out.
constexpr char kAtError[] = "ERROR";
// CMD_SPI_MULTI answer body: command, status, four bytes received, status;
// the signature byte is the fourth received.
constexpr int kSpiMultiReplyBytes = 13;
constexpr int kSpiMultiSignatureAt = kV2BodyAt + 5;

struct ByteName
{
    quint8 value;
    const char *name;
};

const ByteName kV1Responses[] = {
    { 0x10, "Resp_STK_OK" },       { 0x11, "Resp_STK_FAILED" }, { 0x12, "Resp_STK_UNKNOWN" },
    { 0x13, "Resp_STK_NODEVICE" }, { 0x14, "Resp_STK_INSYNC" }, { 0x15, "Resp_STK_NOSYNC" },
};

const ByteName kV2Statuses[] = {
    { 0x00, "STATUS_CMD_OK" },       { 0x80, "STATUS_CMD_TOUT" },
    { 0x81, "STATUS_RDY_BSY_TOUT" }, { 0x82, "STATUS_SET_PARAM_MISSING" },
    { 0xC0, "STATUS_CMD_FAILED" },   { 0xC1, "STATUS_CKSUM_ERROR" },
    { 0xC9, "STATUS_CMD_UNKNOWN" },
};

quint8 byteAt(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

QString hexByte(quint8 value)
{
    return QStringLiteral("0x")
        + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

template<size_t N> QString named(const ByteName (&names)[N], quint8 value)
{
    for (const ByteName &entry : names) {
        if (entry.value == value)
            return hexByte(value) + QStringLiteral(" (") + QLatin1String(entry.name)
                + QLatin1Char(')');
    }
    return hexByte(value);
}

QString spaced(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

ReplyVerdict refuse(const QString &reason)
{
    return ReplyVerdict { false, reason };
}

QString lengthReason(int size, int expected)
{
    return QStringLiteral("a reply of %1 bytes where %2 were due").arg(size).arg(expected);
}
} // namespace

ReplyVerdict judgeV1Reply(const QByteArray &reply, int expected)
{
    if (reply.isEmpty())
        return refuse(QStringLiteral("no reply"));
    if (byteAt(reply, 0) != kV1InSync)
        return refuse(QStringLiteral("%1 where Resp_STK_INSYNC was due")
                          .arg(named(kV1Responses, byteAt(reply, 0))));
    if (reply.size() != expected) {
        // INSYNC followed by Resp_STK_FAILED, _UNKNOWN or _NODEVICE is the
        // whole answer to a command the bootloader did not carry out.
        if (reply.size() == 2 && byteAt(reply, 1) >= kV1Failed && byteAt(reply, 1) <= kV1NoDevice)
            return refuse(QStringLiteral("the bootloader answered %1")
                              .arg(named(kV1Responses, byteAt(reply, 1))));
        return refuse(lengthReason(reply.size(), expected));
    }
    const quint8 last = byteAt(reply, reply.size() - 1);
    if (last != kV1Ok)
        return refuse(
            QStringLiteral("%1 where Resp_STK_OK was due").arg(named(kV1Responses, last)));
    return ReplyVerdict { true, QString() };
}

ReplyVerdict judgeV2Reply(const QByteArray &reply, quint8 sequence, quint8 command, int expected)
{
    if (reply.isEmpty())
        return refuse(QStringLiteral("no reply"));
    if (byteAt(reply, 0) != stk500v2::kMessageStart)
        return refuse(
            QStringLiteral("%1 where MESSAGE_START 0x1B was due").arg(hexByte(byteAt(reply, 0))));
    if (reply.size() > kV2SequenceAt && byteAt(reply, kV2SequenceAt) != sequence)
        return refuse(QStringLiteral("sequence number %1 where %2 was due")
                          .arg(hexByte(byteAt(reply, kV2SequenceAt)), hexByte(sequence)));
    if (reply.size() <= kV2TokenAt)
        return refuse(lengthReason(reply.size(), expected));
    if (byteAt(reply, kV2TokenAt) != stk500v2::kToken)
        return refuse(
            QStringLiteral("token %1 where 0x0E was due").arg(hexByte(byteAt(reply, kV2TokenAt))));
    const int bodySize = byteAt(reply, kV2SizeAt) << 8 | byteAt(reply, kV2SizeAt + 1);
    const int frameSize = bodySize + stk500v2::kFrameOverhead;
    // A whole frame of another length than due may still say why: judge its
    // content before its length.
    if (reply.size() >= frameSize) {
        const quint8 sum = stk500v2::checksum(reply.left(frameSize - 1));
        const quint8 sent = byteAt(reply, frameSize - 1);
        if (sum != sent)
            return refuse(
                QStringLiteral("checksum %1 where %2 was due").arg(hexByte(sent), hexByte(sum)));
        if (bodySize < 2)
            return refuse(QStringLiteral("an answer of %1 bytes, without a status").arg(bodySize));
        if (byteAt(reply, kV2BodyAt) != command)
            return refuse(QStringLiteral("an answer to command %1 where %2 was due")
                              .arg(hexByte(byteAt(reply, kV2BodyAt)), hexByte(command)));
        const quint8 status = byteAt(reply, kV2StatusAt);
        if (status != kV2StatusOk)
            return refuse(QStringLiteral("status %1").arg(named(kV2Statuses, status)));
    }
    if (reply.size() != expected || frameSize != expected)
        return refuse(lengthReason(reply.size(), expected));
    return ReplyVerdict { true, QString() };
}

AtReply judgeAtReply(const QByteArray &reply)
{
    if (reply.toUpper().contains(kAtError))
        return AtReply::Error;
    if (reply.size() >= kMinimumAtReply)
        return AtReply::Answered;
    return reply.isEmpty() ? AtReply::Silent : AtReply::Refused;
}

bool atReplyMayTurnToError(const QByteArray &reply)
{
    if (reply.trimmed().isEmpty())
        return true;
    if (reply.endsWith('\n'))
        return false;
    const QByteArray lastLine = reply.mid(reply.lastIndexOf('\n') + 1).trimmed().toUpper();
    return lastLine.size() < int(sizeof kAtError) - 1 && QByteArray(kAtError).startsWith(lastLine);
}

QByteArray signatureOfV1Reply(const QByteArray &reply)
{
    if (!judgeV1Reply(reply, kSignatureBytes + 2).ok)
        return QByteArray();
    return reply.mid(1, kSignatureBytes);
}

int signatureByteOfV2Reply(const QByteArray &reply)
{
    if (reply.size() != kSpiMultiReplyBytes
        || byteAt(reply, kSpiMultiReplyBytes - 2) != kV2StatusOk)
        return -1;
    return byteAt(reply, kSpiMultiSignatureAt);
}

ReplyVerdict judgeSignature(const QByteArray &signature, const char *expected,
                            const QString &boardType)
{
    const QByteArray due = expected ? QByteArray(expected, kSignatureBytes) : signature;
    if (signature == due)
        return ReplyVerdict { true, QString() };
    return refuse(QStringLiteral("the board's signature is %1, not %2 of a %3")
                      .arg(signature.isEmpty() ? QStringLiteral("unreadable") : spaced(signature),
                           spaced(due), boardType));
}
