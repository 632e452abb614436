#include "platform/pathkind.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t kNewFileMode = 0666;

OpenedFile opened(int descriptor)
{
    OpenedFile file;
    if (descriptor < 0) {
        file.error
            = errno == ELOOP ? QStringLiteral("it is a symbolic link") : qt_error_string(errno);
        return file;
    }
    struct stat status;
    file.descriptor = descriptor;
    file.regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    return file;
}
} // namespace

PathKind pathKind(const QString &path)
{
    struct stat status;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &status) != 0)
        return PathKind::Missing;
    if (S_ISREG(status.st_mode))
        return PathKind::RegularFile;
    if (S_ISDIR(status.st_mode))
        return PathKind::Directory;
    if (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode))
        return PathKind::Stream;
    return PathKind::Other;
}

OpenedFile openStreamForWriting(const QString &path)
{
    return opened(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC));
}

OpenedFile openWithoutFollowing(const QString &path)
{
    // Non-blocking stays: it changes nothing for a regular file, and a write
    // to a FIFO nobody reads fails instead of hanging the caller.
    return opened(::open(QFile::encodeName(path).constData(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNewFileMode));
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}
