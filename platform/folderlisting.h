#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

// Files' times and folders' entries as the file system gives them; the
// platform's own calls are in folderlisting_posix.cpp and folderlisting_win.cpp.

// The last-write time of a file in UTC, or an invalid QDateTime when the
// file's attributes cannot be read.
QDateTime lastWriteTimeUtc(const QString &path);

// One entry of a folder as its listing gives it.
struct FolderEntry
{
    QString name;
    // Last-write time in milliseconds since 1970-01-01 UTC.
    qint64 lastWriteMsecs = 0;
    qint64 size = 0;
    bool isDirectory = false;
    // False for an entry another user owns (POSIX); a shared temporary
    // directory holds other users' builds too.
    bool ownedByCurrentUser = true;
};

// The entries of a folder (not "." and "..") whose names match one of the
// wildcard patterns, with their times, read in one pass over the folder (a
// stat relative to the open folder per matching entry on POSIX, the
// directory search itself on Windows). Empty when the folder cannot be read.
QVector<FolderEntry> folderEntries(const QString &folder, const QStringList &patterns);

// Whether name matches a wildcard pattern of '*' (any run) and '?' (any one
// character), letters matched regardless of case, as file systems on
// Windows do.
bool matchesWildcard(const QString &name, const QString &pattern);
