#include "firmwaretesting.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#ifdef Q_OS_WIN
bool setModificationTime(const QString &path, const QDateTime &time)
{
    // FILETIME counts 100 ns intervals since 1601-01-01.
    constexpr qint64 kIntervalsPerMsec = 10000;
    constexpr qint64 kMsecsFrom1601To1970 = 11644473600000LL;
    const quint64 intervals
        = quint64(time.toMSecsSinceEpoch() + kMsecsFrom1601To1970) * kIntervalsPerMsec;
    FILETIME written;
    written.dwLowDateTime = DWORD(intervals & 0xFFFFFFFFu);
    written.dwHighDateTime = DWORD(intervals >> 32);
    // Folders open only with backup semantics.
    const HANDLE handle
        = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()),
                      FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool set = SetFileTime(handle, nullptr, &written, &written) != 0;
    CloseHandle(handle);
    return set;
}
#else
bool setModificationTime(const QString &path, const QDateTime &time)
{
    const qint64 ms = time.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = long(ms % 1000) * 1000000L;
    times[1] = times[0];
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}
#endif
