#include "upload/boards.h"

namespace {
// The ATmega328P of the UNO and the ATmega2560 of the Mega. Orvex3 and
// Orvex0 are programmed like the ATmega2560, and as nothing is known of their
// bootloaders, they are given its application size too.
constexpr int kUnoFlashSize = 32 * 1024;
constexpr int kUnoPageSize = 128;
constexpr int kMegaFlashSize = 256 * 1024;
constexpr int kMegaPageSize = 256;
// The UNO ships with optiboot in the 512-byte boot section at 0x7E00, the
// Mega 2560 with the stk500v2 bootloader in the 8 KiB section at 0x3E000.
constexpr int kUnoBootloaderSize = 512;
constexpr int kMegaBootloaderSize = 8 * 1024;
constexpr int kUnoApplicationSize = kUnoFlashSize - kUnoBootloaderSize;
constexpr int kMegaApplicationSize = kMegaFlashSize - kMegaBootloaderSize;
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
        { "MEGA2560", StkVersion::V2, kMegaFlashSize, kMegaApplicationSize, kMegaPageSize,
          AtFamily::Mega, kAtmega2560Signature, true },
        { "UNO", StkVersion::V1, kUnoFlashSize, kUnoApplicationSize, kUnoPageSize, AtFamily::Uno,
          kAtmega328pSignature, false },
        { "Orvex3", StkVersion::V2, kMegaFlashSize, kMegaApplicationSize, kMegaPageSize,
          AtFamily::Mega, nullptr, false },
        { "Orvex0", StkVersion::V2, kMegaFlashSize, kMegaApplicationSize, kMegaPageSize,
          AtFamily::Mega, nullptr, false },
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
