#pragma once

#include <QString>
#include <QStringList>

// The command interpreter the default firmware locator drives. On Windows it
// is "cmd", fed the lines on its standard input. Elsewhere a small emulation
// answers the locator's own lines (a drive change, "cd" into the user's
// temporary directory or one folder down, "dir" with wildcards) with the same
// kind of listing: "<DIR>" before folder names, newest entry first by
// last-write time, each entry's name after its last blank. The emulation reads
// the platform's temporary directory (QDir::tempPath(), so TMPDIR counts)
// and runs no child process.
//
// Each line ends in "\n". Returns everything the interpreter printed.
QString runCommandInterpreter(const QStringList &commandLines);

// The user's temporary directory as the locator's "cd" reaches it, in native
// separators, without a trailing separator.
QString interpreterTemporaryDirectory(const QString &userName);
