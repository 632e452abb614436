#include "upload/stepnames.h"

#include "upload/stk500v1.h"
#include "upload/stk500v2.h"

namespace {
// Offset of the command byte in a version 2 frame (after start, sequence,
// size and token).
constexpr int kV2CommandOffset = 5;

struct StepName
{
    quint8 command;
    const char *name;
};

const StepName kV1Names[] = {
    { stk500v1::kGetSync, "get sync" },
    { stk500v1::kGetParameter, "get parameter" },
    { stk500v1::kSetDevice, "set device" },
    { stk500v1::kSetDeviceExt, "set device extended" },
    { stk500v1::kEnterProgMode, "enter programming mode" },
    { stk500v1::kLeaveProgMode, "leave programming mode" },
    { stk500v1::kLoadAddress, "load address" },
    { stk500v1::kUniversal, "universal (EEPROM read)" },
    { stk500v1::kProgPage, "program page" },
    { stk500v1::kReadPage, "read page" },
    { stk500v1::kReadSign, "read signature" },
};

const StepName kV2Names[] = {
    { stk500v2::kSignOn, "sign on" },
    { stk500v2::kGetParameter, "get parameter" },
    { stk500v2::kLoadAddress, "load address" },
    { stk500v2::kEnterProgModeIsp, "enter programming mode" },
    { stk500v2::kLeaveProgModeIsp, "leave programming mode" },
    { stk500v2::kProgramFlashIsp, "program flash" },
    { stk500v2::kReadFlashIsp, "read flash" },
    { stk500v2::kSpiMulti, "read signature" },
};

template<size_t N> QString nameIn(const StepName (&names)[N], quint8 command)
{
    for (const StepName &entry : names) {
        if (entry.command == command)
            return QString::fromLatin1(entry.name);
    }
    return QStringLiteral("command 0x%1").arg(command, 2, 16, QLatin1Char('0'));
}
} // namespace

QString stkStepName(const QByteArray &commandBytes)
{
    if (commandBytes.isEmpty())
        return QStringLiteral("empty command");
    const auto first = static_cast<quint8>(commandBytes.at(0));
    if (first == stk500v2::kMessageStart && commandBytes.size() > kV2CommandOffset)
        return nameIn(kV2Names, static_cast<quint8>(commandBytes.at(kV2CommandOffset)));
    return nameIn(kV1Names, first);
}
