// Any bytes as a bootloader's answer to an STK500 command: the first bytes
// choose the command and the expected length, the rest is the reply. The
// judges never accept a reply of another length, and the reply rule over a
// device takes exactly the expected bytes or fails.
#include "upload/boards.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/stkstep.h"
#include "upload/uploadrunner.h"

#include <QBuffer>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace {
constexpr std::size_t kHeaderBytes = 4;

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Keeps the reply rule's debug lines out of the fuzzer's output.
void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < kHeaderBytes)
        return 0;
    qInstallMessageHandler(quiet);
    const quint8 sequence = data[0];
    const quint8 commandId = data[1];
    const int expected = data[2] % 40;
    const bool asV2 = data[3] & 1;
    const QByteArray reply(reinterpret_cast<const char *>(data + kHeaderBytes),
                           int(size - kHeaderBytes));

    const ReplyVerdict v1 = judgeV1Reply(reply, expected);
    check(!v1.ok || (reply.size() == expected && v1.reason.isEmpty()));
    check(v1.ok || !v1.reason.isEmpty());
    const ReplyVerdict v2 = judgeV2Reply(reply, sequence, commandId, expected);
    check(!v2.ok || reply.size() == expected);
    check(v2.ok || !v2.reason.isEmpty());

    const StkCommand command = asV2 ? stk500v2::signOn(sequence) : stk500v1::getSync();
    command.judge(command.bytes, reply, expected);
    signatureOfV1Reply(reply);
    const int signatureByte = signatureByteOfV2Reply(reply);
    check(signatureByte >= -1 && signatureByte <= 0xFF);
    for (const Board &board : boards())
        judgeSignature(reply.left(3), board.signature, QLatin1String(board.name));

    QByteArray line = reply;
    QBuffer device(&line);
    device.open(QIODevice::ReadOnly);
    QByteArray taken;
    const bool accepted = collectReply(&device, expected, 1, 0, nullptr, QByteArray(), &taken);
    check(!accepted || taken.size() == expected);
    check(taken.size() <= expected || !accepted);
    return 0;
}
