#include "platform/filetime.h"

#include <QDate>
#include <QDir>
#include <QTime>

#include <windows.h>

QDateTime lastWriteTimeUtc(const QString &path)
{
    if (path.isEmpty())
        return QDateTime();
    // The path goes over as UTF-16 as it stands, so names outside ASCII
    // reach the file system unchanged.
    const QString nativePath = QDir::toNativeSeparators(path);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(reinterpret_cast<LPCWSTR>(nativePath.utf16()),
                              GetFileExInfoStandard, &attributes))
        return QDateTime();
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&attributes.ftLastWriteTime, &utc))
        return QDateTime();
    return QDateTime(QDate(utc.wYear, utc.wMonth, utc.wDay),
                     QTime(utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds), Qt::UTC);
}
