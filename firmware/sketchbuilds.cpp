#include "firmware/sketchbuilds.h"

#include "platform/filetime.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>

namespace {
const QLatin1String kBootloaderMark("with_bootloader");
const QLatin1String kSketchesFolder("/arduino/sketches");

const QStringList &sketchImagePatterns()
{
    static const QStringList patterns = {QStringLiteral("*.ino.hex"),
                                         QStringLiteral("*.cpp.hex")};
    return patterns;
}

std::optional<SketchBuild> newestImageIn(const QString &folder)
{
    std::optional<FolderEntry> newest;
    for (const FolderEntry &entry : folderEntries(folder, sketchImagePatterns())) {
        if (entry.isDirectory || entry.name.contains(kBootloaderMark))
            continue;
        if (!newest || entry.lastWriteMsecs > newest->lastWriteMsecs)
            newest = entry;
    }
    if (!newest)
        return std::nullopt;
    return SketchBuild{folder + QLatin1Char('/') + newest->name,
                       QDateTime::fromMSecsSinceEpoch(newest->lastWriteMsecs, Qt::UTC)};
}

std::optional<SketchBuild> newestImageIn(const BuildLayout &layout)
{
    if (layout.root.isEmpty())
        return std::nullopt;
    QVector<FolderEntry> folders = folderEntries(layout.root, {layout.folderPattern});
    folders.erase(std::remove_if(folders.begin(), folders.end(),
                                 [](const FolderEntry &entry) { return !entry.isDirectory; }),
                  folders.end());
    // Only the newest few are ever read, so only they are put in order.
    const auto tried = folders.begin() + qMin(int(folders.size()), kMaxFoldersTriedPerLayout);
    std::partial_sort(folders.begin(), tried, folders.end(),
                      [](const FolderEntry &a, const FolderEntry &b) {
                          return a.lastWriteMsecs > b.lastWriteMsecs;
                      });
    for (auto folder = folders.begin(); folder != tried; ++folder) {
        if (std::optional<SketchBuild> image =
                newestImageIn(layout.root + QLatin1Char('/') + folder->name))
            return image;
    }
    return std::nullopt;
}
} // namespace

QList<BuildLayout> laterBuildLayouts(const QString &temporaryDirectory,
                                     const QString &cacheDirectory)
{
    const QString any = QStringLiteral("*");
    QList<BuildLayout> layouts = {
        {temporaryDirectory, QStringLiteral("arduino_build_*")},
        {temporaryDirectory, QStringLiteral("arduino-sketch-*")},
        {temporaryDirectory + kSketchesFolder, any},
    };
    if (!cacheDirectory.isEmpty())
        layouts.append({cacheDirectory + kSketchesFolder, any});
    return layouts;
}

QString userCacheDirectory()
{
#if defined(Q_OS_WIN)
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    if (!localAppData.isEmpty())
        return QDir::fromNativeSeparators(localAppData);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#elif defined(Q_OS_MACOS)
    return QDir::homePath() + QStringLiteral("/Library/Caches");
#else
    // A relative XDG_CACHE_HOME is invalid and ignored.
    const QString xdgCache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!xdgCache.isEmpty() && QDir::isAbsolutePath(xdgCache))
        return xdgCache;
    return QDir::homePath() + QStringLiteral("/.cache");
#endif
}

std::optional<SketchBuild> newestSketchBuild(const QList<BuildLayout> &layouts)
{
    std::optional<SketchBuild> newest;
    for (const BuildLayout &layout : layouts) {
        std::optional<SketchBuild> candidate = newestImageIn(layout);
        if (candidate && (!newest || candidate->lastWrite > newest->lastWrite))
            newest = std::move(candidate);
    }
    return newest;
}
