#include "platform/username.h"

#include <windows.h>

#include <vector>

QString loginUserName()
{
    // The first call only reports the size needed, the terminating NUL included.
    DWORD size = 0;
    GetUserNameW(nullptr, &size);
    if (size == 0)
        return QString();
    std::vector<wchar_t> buffer(size);
    if (!GetUserNameW(buffer.data(), &size))
        return QString();
    return QString::fromWCharArray(buffer.data());
}
