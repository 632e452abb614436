#include "platform/cachedirectory.h"

#include <QDir>

QString userCacheDirectory()
{
#if defined(Q_OS_MACOS)
    return QDir::homePath() + QStringLiteral("/Library/Caches");
#else
    // A relative XDG_CACHE_HOME is invalid and ignored.
    const QString xdgCache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!xdgCache.isEmpty() && QDir::isAbsolutePath(xdgCache))
        return xdgCache;
    return QDir::homePath() + QStringLiteral("/.cache");
#endif
}
