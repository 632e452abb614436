#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// Build folders of the IDE generations after the build*.tmp one. Each is
// looked at through its newest folders only, so old builds lying around cost
// a directory read and nothing more.
struct BuildLayout
{
    // Where the build folders are.
    QString root;
    // Which of root's folders are builds (a wildcard pattern).
    QString folderPattern;
};

struct SketchBuild
{
    QString path;
    QDateTime lastWrite;
};

// A layout's newest folders that hold files but no sketch image (a build
// still under way) are passed over, up to this many; empty or unreadable
// folders (an IDE makes one whenever a sketch is opened) do not count.
constexpr int kMaxFoldersTriedPerLayout = 4;
// However many folders are empty, no more than this many are read per layout.
constexpr int kMaxFoldersReadPerLayout = 256;

// arduino_build_NNNNNN and arduino-sketch-HASH in the temporary directory,
// arduino/sketches/HASH in the temporary directory and in the user's cache
// directory.
QList<BuildLayout> laterBuildLayouts(const QString &temporaryDirectory,
                                     const QString &cacheDirectory);

// The newest sketch image of the newest folder of each layout: a file ending
// in ".ino.hex" or ".cpp.hex" without "with_bootloader" in its name. Of all
// of them the one written last.
std::optional<SketchBuild> newestSketchBuild(const QList<BuildLayout> &layouts);
