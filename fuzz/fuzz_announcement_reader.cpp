// Any datagram as an announcement: read without running anything, and only
// sound module addresses accepted.
#include "discovery/announcement.h"

#include <cstddef>
#include <cstdint>

namespace {
constexpr int kLongestAddressText = 15; // 255.255.255.255
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > std::size_t(kMaxAnnouncementBytes))
        return 0;
    const std::optional<Announcement> announcement = parseAnnouncement(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (announcement && isModuleAddress(announcement->hostIp)
        && announcement->hostIp.size() > kLongestAddressText)
        __builtin_trap();
    return 0;
}
