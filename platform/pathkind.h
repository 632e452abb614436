#pragma once

#include <QString>

// What a path names, as far as writing a file there goes. A regular file (or
// none yet) can be replaced in one step; a character device or a FIFO has to
// be written where it is, since replacing it would put a plain file in place
// of /dev/null or of a pipe a reader waits on; anything else is no place for
// a file.
enum class PathKind { Missing, RegularFile, Directory, Stream, Other };

// Symbolic links followed, as opening the path would; a path that cannot be
// looked at counts as missing, and opening it then tells why.
PathKind pathKind(const QString &path);

// A file opened by the functions below: a descriptor for
// QFile::open(int, ...), which the QFile then owns, or -1 and the system's
// reason.
struct OpenedFile
{
    int descriptor = -1;
    // A regular file, as against a device or a FIFO.
    bool regular = false;
    QString error;
};

// Opens a stream (see PathKind) for writing as it is: nothing is created or
// truncated. A FIFO waits here for its reader, as a shell's redirection does.
OpenedFile openStreamForWriting(const QString &path);

// Opens or creates a file for reading and writing without following a
// symbolic link in its last component (refused instead); a FIFO or a device
// is opened so that neither the open nor a write waits on it.
OpenedFile openWithoutFollowing(const QString &path);

// Closes a descriptor from the functions above that no QFile took over.
void closeDescriptor(int descriptor);
