#include "platform/pathkind.h"

#include <QDir>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The path as CreateFileW takes it; device names such as NUL and CON stay as
// they are, which Qt's own long-path form would not let them.
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

OpenedFile opened(HANDLE handle, int flags, bool regular)
{
    OpenedFile file;
    if (handle == INVALID_HANDLE_VALUE) {
        file.error = qt_error_string(int(GetLastError()));
        return file;
    }
    file.descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (file.descriptor < 0) {
        file.error = qt_error_string(int(GetLastError()));
        CloseHandle(handle);
    }
    file.regular = regular;
    return file;
}

bool isRegularHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information)
        && !(information.dwFileAttributes
             & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}
} // namespace

PathKind pathKind(const QString &path)
{
    if (path.isEmpty())
        return PathKind::Missing;
    // No access asked for: only what the path names is looked at.
    const HANDLE handle = CreateFileW(nativePath(path).c_str(), 0, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return PathKind::Missing;
    PathKind kind = PathKind::Other;
    const DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION information;
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE)
        kind = PathKind::Stream;
    else if (type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information))
        kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory
                                                                         : PathKind::RegularFile;
    CloseHandle(handle);
    return kind;
}

OpenedFile openStreamForWriting(const QString &path)
{
    const HANDLE handle = CreateFileW(nativePath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return opened(handle, _O_WRONLY, false);
}

OpenedFile openWithoutFollowing(const QString &path)
{
    // The reparse point itself is opened, not what it leads to, and then refused.
    const HANDLE handle = CreateFileW(
        nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION information;
        if (GetFileInformationByHandle(handle, &information)
            && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            CloseHandle(handle);
            OpenedFile refused;
            refused.error = QStringLiteral("it is a symbolic link");
            return refused;
        }
    }
    const bool regular = handle != INVALID_HANDLE_VALUE && isRegularHandle(handle);
    return opened(handle, _O_RDWR, regular);
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        _close(descriptor);
}
