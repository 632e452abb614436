#include "platform/cachedirectory.h"

#include <QDir>
#include <QStandardPaths>

QString userCacheDirectory()
{
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    if (!localAppData.isEmpty())
        return QDir::fromNativeSeparators(localAppData);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}
