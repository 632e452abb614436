#include "platform/username.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {
// Used when the system gives no hint for the size of a passwd entry.
constexpr long kFallbackEntrySize = 16384;
} // namespace

QString loginUserName()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = kFallbackEntrySize;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found
        || !found->pw_name)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}
