#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// Bounds of a listing scan: a listing longer than 64 KiB less one counts as
// naming nothing, and so does a name longer than the two below. A temporary
// directory's listing is far shorter; the bounds keep the scan, and the
// names handed back to "cd", short whatever the interpreter prints.
constexpr int kMaxListingLength = 65535;
constexpr int kMaxBuildDirectoryNameLength = 99;
constexpr int kMaxHexFileNameLength = 49;

// The interpreter lines that list the build folders of the user's temporary
// directory, newest first.
QStringList buildDirectoryCommands(const QString &userName);
// The same, then the HEX files of the build folder dir, newest first.
QStringList hexFileCommands(const QString &userName, const QString &dir);

// The newest build folder in a listing: the first "<DIR>" entry whose name
// begins with "build" and ends in ".tmp". Nothing when there is none, when
// the listing is too long, or when the name is too long or holds a
// character the interpreter would act on.
std::optional<QString> buildDirectoryInListing(const QString &listing);

// The sketch image in a listing: the first ".ino.hex" or ".cpp.hex" in the
// text, its name taken from the blank (or line start) before it.
std::optional<QString> hexFileInListing(const QString &listing);

// The time in the local zone, the hour unpadded: "2016-05-06 10:03:04" for
// 02:03:04 UTC where the clocks are eight hours ahead.
QString generateTimeText(const QDateTime &lastWrite);
