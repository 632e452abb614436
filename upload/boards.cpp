#include "upload/boards.h"

#include "upload/stk500v1.h"
#include "upload/stk500v2.h"

namespace {
// The parts' sizes are those the protocol modules describe to the bootloaders;
// Orvex3 and Orvex0 are programmed like the ATmega2560.
constexpr int kUnoFlashSize = stk500v1::kFlashSize;
constexpr int kUnoPageSize = stk500v1::kPageSize;
constexpr int kMegaFlashSize = stk500v2::kFlashSize;
constexpr int kMegaPageSize = stk500v2::kPageSize;
// Below optiboot's 512 bytes, and below the 8 KiB of the stk500v2 bootloader.
constexpr int kUnoApplicationSize = 32256;
constexpr int kMegaApplicationSize = 253952;
const char kAtmega328pSignature[] = "\x1E\x95\x0F";
const char kAtmega2560Signature[] = "\x1E\x98\x01";

const Board *find(const QString &name, Qt::CaseSensitivity sensitivity)
{
    for (const Board &board : boards()) {
        if (name.compare(QLatin1String(board.name), sensitivity) == 0)
            return &board;
    }
    return nullptr;
}
} // namespace

const QVector<Board> &boards()
{
    static const QVector<Board> table = {
        { "MEGA2560", StkVersion::V2, kMegaFlashSize, kMegaPageSize, AtFamily::Mega,
          kAtmega2560Signature, true, kMegaApplicationSize },
        { "UNO", StkVersion::V1, kUnoFlashSize, kUnoPageSize, AtFamily::Uno, kAtmega328pSignature,
          false, kUnoApplicationSize },
        { "Orvex3", StkVersion::V2, kMegaFlashSize, kMegaPageSize, AtFamily::Mega, nullptr, false,
          kMegaApplicationSize },
        { "Orvex0", StkVersion::V2, kMegaFlashSize, kMegaPageSize, AtFamily::Mega, nullptr, false,
          kMegaApplicationSize },
    };
    return table;
}

const Board *boardNamed(const QString &name)
{
    return find(name, Qt::CaseSensitive);
}

const Board *boardNamedIgnoringCase(const QString &name)
{
    return find(name, Qt::CaseInsensitive);
}
