#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Helpers for the firmware tests: files with chosen modification times, a
// temporary directory of the test's own, and the standard error stream.

inline bool setModificationTime(const QString &path, const QDateTime &time)
{
    const qint64 ms = time.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = long(ms % 1000) * 1000000L;
    times[1] = times[0];
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

inline bool writeFileAt(const QString &path, const QByteArray &contents, const QDateTime &time)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(contents) != contents.size())
        return false;
    file.close();
    return setModificationTime(path, time);
}

inline QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline QDateTime utc(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

// Points TMPDIR (and so QDir::tempPath()) at a fresh folder under the working
// directory, and XDG_CACHE_HOME at another, for as long as it lives.
class OwnTemporaryDirectory
{
public:
    explicit OwnTemporaryDirectory(const QString &name)
        : path(QDir::current().absoluteFilePath(name))
        , cache(QDir::current().absoluteFilePath(name + QStringLiteral("-cache")))
        , previous(saved("TMPDIR"))
        , previousCache(saved("XDG_CACHE_HOME"))
    {
        for (const QString &folder : { path, cache }) {
            QDir(folder).removeRecursively();
            QDir().mkpath(folder);
        }
        qputenv("TMPDIR", QFile::encodeName(path));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    }
    ~OwnTemporaryDirectory()
    {
        restore("TMPDIR", previous);
        restore("XDG_CACHE_HOME", previousCache);
        QDir(path).removeRecursively();
        QDir(cache).removeRecursively();
    }
    OwnTemporaryDirectory(const OwnTemporaryDirectory &) = delete;
    OwnTemporaryDirectory &operator=(const OwnTemporaryDirectory &) = delete;

    QString filePath(const QString &name) const { return path + QLatin1Char('/') + name; }
    bool makeFolder(const QString &name) const { return QDir(path).mkpath(name); }

    const QString path;
    const QString cache;

private:
    // A null array stands for a variable that was not set.
    static QByteArray saved(const char *name)
    {
        return qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray();
    }
    static void restore(const char *name, const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    const QByteArray previous;
    const QByteArray previousCache;
};

// Collects what is written to the standard error stream while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        file.open();
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        dup2(file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    QByteArray text()
    {
        restore();
        return fileContents(file.fileName());
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        saved = -1;
    }

    QTemporaryFile file { QDir::current().absoluteFilePath(QStringLiteral("stderr-XXXXXX")) };
    int saved = -1;
};
