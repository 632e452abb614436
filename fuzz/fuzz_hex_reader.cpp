// Any bytes as an Intel HEX text: the reader returns an image or a reason,
// never both, and never an image beyond the flash.
#include "firmware/hexconversion.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > std::size_t(kMaxHexTextSize))
        return 0;
    const HexConversion result
        = convertHexText(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    const bool sound = result.ok() ? !result.image.isEmpty() && result.image.size() <= kMaxImageSize
                                   : result.image.isEmpty() && !result.describe().isEmpty();
    if (!sound)
        __builtin_trap();
    return 0;
}
