// Any bytes as a module's answer to an AT command: ERROR in any letter case
// refuses it, otherwise two bytes or more answer it, one refuses it, none is
// silence; nothing else.
#include "upload/athandshake.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray reply
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const AtReply verdict = judgeAtReply(reply);
    const AtReply expected = reply.toUpper().contains("ERROR") ? AtReply::Error
        : size >= std::size_t(kMinimumAtReply)                 ? AtReply::Answered
        : size == 0                                            ? AtReply::Silent
                                                               : AtReply::Refused;
    if (verdict != expected)
        __builtin_trap();
    return 0;
}
