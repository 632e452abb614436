#include "firmware/sketchbuilds.h"

#include "platform/folderlisting.h"

#include <QDir>

#include <algorithm>

namespace {
const QLatin1String kBootloaderMark("with_bootloader");
const QLatin1String kSketchesFolder("/arduino/sketches");

const QStringList &sketchImagePatterns()
{
    static const QStringList patterns
        = { QStringLiteral("*.ino.hex"), QStringLiteral("*.cpp.hex") };
    return patterns;
}

// What one build folder holds: its newest sketch image, if any.
struct FolderLook
{
    std::optional<SketchBuild> image;
    bool empty = true;
};

FolderLook lookInto(const QString &folder)
{
    FolderLook look;
    std::optional<FolderEntry> newest;
    for (const FolderEntry &entry : folderEntries(folder, { QStringLiteral("*") })) {
        look.empty = false;
        if (entry.isDirectory || entry.name.contains(kBootloaderMark))
            continue;
        const bool image = std::any_of(
            sketchImagePatterns().begin(), sketchImagePatterns().end(),
            [&](const QString &pattern) { return matchesWildcard(entry.name, pattern); });
        if (image && (!newest || entry.lastWriteMsecs > newest->lastWriteMsecs))
            newest = entry;
    }
    if (newest) {
        look.image
            = SketchBuild { folder + QLatin1Char('/') + newest->name,
                            QDateTime::fromMSecsSinceEpoch(newest->lastWriteMsecs, Qt::UTC) };
    }
    return look;
}

std::optional<SketchBuild> newestImageIn(const BuildLayout &layout)
{
    if (layout.root.isEmpty())
        return std::nullopt;
    QVector<FolderEntry> folders = folderEntries(layout.root, { layout.folderPattern });
    // Another user's build in a shared temporary directory is not this
    // user's firmware.
    folders.erase(std::remove_if(folders.begin(), folders.end(),
                                 [](const FolderEntry &entry) {
                                     return !entry.isDirectory || !entry.ownedByCurrentUser;
                                 }),
                  folders.end());
    // Only the newest are ever read, so only they are put in order.
    const auto read = folders.begin() + qMin(int(folders.size()), kMaxFoldersReadPerLayout);
    std::partial_sort(folders.begin(), read, folders.end(),
                      [](const FolderEntry &a, const FolderEntry &b) {
                          return a.lastWriteMsecs > b.lastWriteMsecs;
                      });
    int passedOver = 0;
    for (auto folder = folders.begin(); folder != read; ++folder) {
        const FolderLook look = lookInto(layout.root + QLatin1Char('/') + folder->name);
        if (look.image)
            return look.image;
        if (!look.empty && ++passedOver == kMaxFoldersTriedPerLayout)
            break;
    }
    return std::nullopt;
}
} // namespace

QList<BuildLayout> laterBuildLayouts(const QString &temporaryDirectory,
                                     const QString &cacheDirectory)
{
    const QString any = QStringLiteral("*");
    QList<BuildLayout> layouts = {
        { temporaryDirectory, QStringLiteral("arduino_build_*") },
        { temporaryDirectory, QStringLiteral("arduino-sketch-*") },
        { temporaryDirectory + kSketchesFolder, any },
    };
    if (!cacheDirectory.isEmpty())
        layouts.append({ cacheDirectory + kSketchesFolder, any });
    return layouts;
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
