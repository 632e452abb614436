#include "platform/filetime.h"

#include <QFileInfo>

QDateTime lastWriteTimeUtc(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return QDateTime();
    return info.lastModified().toUTC();
}
