#include "platform/folderlisting.h"

#include <QDate>
#include <QDir>
#include <QTime>

#include <windows.h>

namespace {
// FILETIME counts 100 ns intervals since 1601-01-01.
constexpr qint64 kIntervalsPerMsec = 10000;
constexpr qint64 kMsecsFrom1601To1970 = 11644473600000LL;
constexpr int kHighPartShift = 32;

qint64 unixMsecs(const FILETIME &time)
{
    const quint64 intervals
        = (quint64(time.dwHighDateTime) << kHighPartShift) | quint64(time.dwLowDateTime);
    return qint64(intervals / kIntervalsPerMsec) - kMsecsFrom1601To1970;
}
} // namespace

QDateTime lastWriteTimeUtc(const QString &path)
{
    if (path.isEmpty())
        return QDateTime();
    // The path goes over as UTF-16 as it stands, so names outside ASCII
    // reach the file system unchanged.
    const QString nativePath = QDir::toNativeSeparators(path);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(reinterpret_cast<LPCWSTR>(nativePath.utf16()), GetFileExInfoStandard,
                              &attributes))
        return QDateTime();
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&attributes.ftLastWriteTime, &utc))
        return QDateTime();
    return QDateTime(QDate(utc.wYear, utc.wMonth, utc.wDay),
                     QTime(utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds), Qt::UTC);
}

QVector<FolderEntry> folderEntries(const QString &folder, const QStringList &patterns)
{
    QVector<FolderEntry> entries;
    const QString search = QDir::toNativeSeparators(folder) + QStringLiteral("\\*");
    WIN32_FIND_DATAW found;
    HANDLE handle
        = FindFirstFileExW(reinterpret_cast<LPCWSTR>(search.utf16()), FindExInfoBasic, &found,
                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (handle == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        bool matches = false;
        for (const QString &pattern : patterns)
            matches = matches || matchesWildcard(name, pattern);
        if (!matches)
            continue;
        const qint64 size
            = qint64((quint64(found.nFileSizeHigh) << kHighPartShift) | found.nFileSizeLow);
        entries.append({ name, unixMsecs(found.ftLastWriteTime), size,
                         (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 });
    } while (FindNextFileW(handle, &found));
    FindClose(handle);
    return entries;
}
