#include "upload/stk500v1.h"

#include "upload/boards.h"
#include "upload/uploadlog.h"

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
// A reply's INSYNC and OK around its result bytes.
constexpr int kReplyFraming = 2;

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

const ByteName kResponses[] = {
    { kOk, "Resp_STK_OK" },         { kFailed, "Resp_STK_FAILED" },
    { 0x12, "Resp_STK_UNKNOWN" },   { kNoDevice, "Resp_STK_NODEVICE" },
    { kInSync, "Resp_STK_INSYNC" }, { kNoSync, "Resp_STK_NOSYNC" },
};

const ByteName kStepNames[] = {
    { kGetSync, "get sync" },
    { kGetParameter, "get parameter" },
    { kSetDevice, "set device" },
    { kSetDeviceExt, "set device extended" },
    { kEnterProgMode, "enter programming mode" },
    { kLeaveProgMode, "leave programming mode" },
    { kLoadAddress, "load address" },
    { kUniversal, "universal (EEPROM read)" },
    { kProgPage, "program page" },
    { kReadPage, "read page" },
    { kReadSign, "read signature" },
};

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
    // The debug labels are kept as written: see docs/kept-from-the-design.md.
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

QString stepName(const QByteArray &commandBytes)
{
    return stepNameOf(kStepNames, commandBytes, 0);
}

} // namespace stk500v1

namespace {
constexpr int kSyncCommands = 3;

// Parameter queries in the order the bootloader is asked. The top-card query
// is answered by programmers only; a bootloader may stay silent.
struct ParameterQuery
{
    quint8 id;
    const char *failure;
    bool ends_upload;
};
const ParameterQuery kQueries[] = {
    { 0x80, "send a 0x80 error", true }, { 0x81, "send A error 0x81", true },
    { 0x82, "send A error 0x82", true }, { 0x98, "send A error 0x98", false },
    { 0x84, "send A error 0x84", true }, { 0x85, "send A error 0x85", true },
    { 0x86, "send A error 0x86", true }, { 0x87, "send A error 0x87", true },
    { 0x89, "send A error 0x89", true }, { 0x81, "send A error 0x81", true },
    { 0x82, "send A error 0x82", true },
};
// The last four bytes of the 1 KiB EEPROM, read through Cmnd_STK_UNIVERSAL.
const quint8 kEepromReads[] = { 0xFC, 0xFD, 0xFE, 0xFF };

quint8 byteAt(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

ReplyVerdict refuse(const QString &reason)
{
    return ReplyVerdict { false, reason };
}
} // namespace

ReplyVerdict judgeV1Reply(const QByteArray &reply, int expected)
{
    using namespace stk500v1;
    if (reply.isEmpty())
        return refuse(QStringLiteral("no reply"));
    if (byteAt(reply, 0) != kInSync)
        return refuse(QStringLiteral("%1 where Resp_STK_INSYNC was due")
                          .arg(namedByte(kResponses, byteAt(reply, 0))));
    if (reply.size() != expected) {
        // INSYNC followed by Resp_STK_FAILED, _UNKNOWN or _NODEVICE is the
        // whole answer to a command the bootloader did not carry out.
        if (reply.size() == kReplyFraming && byteAt(reply, 1) >= kFailed
            && byteAt(reply, 1) <= kNoDevice)
            return refuse(QStringLiteral("the bootloader answered %1")
                              .arg(namedByte(kResponses, byteAt(reply, 1))));
        return refuse(lengthReason(reply.size(), expected));
    }
    const quint8 last = byteAt(reply, reply.size() - 1);
    if (last != kOk)
        return refuse(
            QStringLiteral("%1 where Resp_STK_OK was due").arg(namedByte(kResponses, last)));
    return ReplyVerdict { true, QString() };
}

QByteArray signatureOfV1Reply(const QByteArray &reply)
{
    if (!judgeV1Reply(reply, kSignatureBytes + stk500v1::kReplyFraming).ok)
        return QByteArray();
    return reply.mid(1, kSignatureBytes);
}

std::optional<QByteArray> pageOfV1Reply(const QByteArray &reply, int count)
{
    if (reply.size() != count + stk500v1::kReplyFraming || byteAt(reply, 0) != stk500v1::kInSync
        || byteAt(reply, reply.size() - 1) != stk500v1::kOk)
        return std::nullopt;
    return reply.mid(1, count);
}

bool Stk500v1Upload::enter(const QByteArray &)
{
    for (int i = 0; i < kSyncCommands; ++i) {
        QByteArray greeting;
        if (!send_step(stk500v1::getSync(), &greeting)) {
            logSystemError("send a 0 error");
            if (i == 0)
                name_other_board(greeting);
            return false;
        }
    }
    for (const ParameterQuery &query : kQueries) {
        if (!send_step(stk500v1::getParameter(query.id))) {
            logSystemError(query.failure);
            if (query.ends_upload)
                return false;
        }
    }
    if (!send_or_log(stk500v1::setDevice(), "send B error")
        || !send_or_log(stk500v1::setDeviceExt(), "send_E error")
        || !send_or_log(stk500v1::enterProgMode(), "send P error"))
        return false;
    QByteArray signature;
    if (!send_step(stk500v1::readSignature(), &signature)) {
        logSystemError("send u error");
        return false;
    }
    if (!signature_matches(signatureOfV1Reply(signature)))
        return false;
    for (quint8 low : kEepromReads) {
        if (!send_or_log(stk500v1::universalReadEeprom(low), "send v error"))
            return false;
    }
    return true;
}

bool Stk500v1Upload::write_page(const QByteArray &page)
{
    // The bootloader writes its whole page buffer: a short last page is
    // filled up with erased flash, or it would take the previous page's tail.
    const QByteArray whole_page = page + QByteArray(board.pageSize - page.size(), '\xFF');
    // Address and page in one write: the bootloader answers the address
    // at once and takes the page from its receive buffer. Nothing of the
    // next page goes out before this one's reply, as the bootloader
    // cannot take bytes while it writes the flash.
    const int accepted
        = send_together({ stk500v1::loadAddress(static_cast<quint32>(file_offset / kBytesPerWord)),
                          stk500v1::programPage(whole_page) });
    if (accepted < 1)
        // Kept as users know it: see docs/kept-from-the-design.md.
        logSystemError("send header erro");
    else if (accepted < 2)
        logSystemError("send data error");
    return accepted == 2;
}

QString Stk500v1Upload::read_page(qint64 offset, int count, QByteArray *page)
{
    // Address and read in one write: the bootloader takes the read from its
    // receive buffer right after answering the address.
    const QList<StepResult> results
        = transactTogether(data,
                           { stk500v1::loadAddress(static_cast<quint32>(offset / kBytesPerWord)),
                             stk500v1::readPage(count) });
    if (!results.first().ok)
        return QStringLiteral("no reply to the load-address command for %1 while reading: %2")
            .arg(hexAddress(offset), results.first().reason);
    if (!results.last().ok)
        return QStringLiteral("no complete reply to the read-page command at %1: %2")
            .arg(hexAddress(offset), results.last().reason);
    const std::optional<QByteArray> read = pageOfV1Reply(results.last().reply, count);
    if (!read)
        return QStringLiteral("malformed reply to the read-page command at %1")
            .arg(hexAddress(offset));
    *page = *read;
    return QString();
}

void Stk500v1Upload::leave()
{
    if (!send_leave(stk500v1::leaveProgMode()))
        logSystemError("send q error");
}

bool Stk500v1Upload::in_protocol(const QByteArray &reply) const
{
    const auto first = static_cast<quint8>(reply.at(0));
    return first == stk500v1::kInSync || first == stk500v1::kNoSync;
}

QString Stk500v1Upload::step_name(const QByteArray &bytes) const
{
    return stk500v1::stepName(bytes);
}
