#include "platform/folderlisting.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 kNsecsPerMsec = 1000000;

qint64 modificationMsecs(const struct stat &status)
{
    return qint64(status.st_mtim.tv_sec) * 1000 + qint64(status.st_mtim.tv_nsec) / kNsecsPerMsec;
}

bool matchesAny(const QString &name, const QStringList &patterns)
{
    for (const QString &pattern : patterns) {
        if (matchesWildcard(name, pattern))
            return true;
    }
    return false;
}
} // namespace

QDateTime lastWriteTimeUtc(const QString &path)
{
    struct stat status;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(modificationMsecs(status), Qt::UTC);
}

QVector<FolderEntry> folderEntries(const QString &folder, const QStringList &patterns)
{
    QVector<FolderEntry> entries;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return entries;
    const int folderHandle = ::dirfd(dir);
    while (const struct dirent *entry = ::readdir(dir)) {
        const char *rawName = entry->d_name;
        if (qstrcmp(rawName, ".") == 0 || qstrcmp(rawName, "..") == 0)
            continue;
        const QString name = QFile::decodeName(rawName);
        if (!matchesAny(name, patterns))
            continue;
        // Links are followed, as a listing of the folder would show them.
        struct stat status;
        if (::fstatat(folderHandle, rawName, &status, 0) != 0)
            continue;
        entries.append({ name, modificationMsecs(status), qint64(status.st_size),
                         S_ISDIR(status.st_mode), status.st_uid == ::geteuid() });
    }
    ::closedir(dir);
    return entries;
}
