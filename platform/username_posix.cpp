#include "platform/username.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {
// Used when the system gives no hint for the size of a passwd entry.
constexpr long kFallbackEntrySize = 16384;
// A passwd entry never needs more room than this.
constexpr std::size_t kMaxEntrySize = 1 << 20;
} // namespace

QString loginUserName()
{
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = static_cast<std::size_t>(hint > 0 ? hint : kFallbackEntrySize);
    for (; size <= kMaxEntrySize; size *= 2) {
        std::vector<char> buffer(size);
        passwd entry {};
        passwd *found = nullptr;
        const int error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE)
            continue;
        if (error != 0 || !found || !found->pw_name)
            return QString();
        return QString::fromLocal8Bit(found->pw_name);
    }
    return QString();
}
