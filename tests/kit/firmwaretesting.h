#pragma once

#include "testkit.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include "platform/commandshell.h"
#include "platform/username.h"
#endif

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

// Helpers for the firmware tests: files with chosen modification times, a
// temporary directory of the test's own, and the standard error stream.

// Sets the last-write time of a file or a folder.
bool setModificationTime(const QString &path, const QDateTime &time);

// Whether two spellings name the same path: on Windows letter case does not
// count ("c:\Users" as the locator writes it, "C:\users" as Wine's disk has it).
inline bool samePath(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif
}
#define RUDIREZE_COMPARE_PATHS(actual, expected)                                                   \
    QVERIFY2(samePath(actual, expected),                                                           \
             qPrintable(QStringLiteral("%1 is not %2").arg(actual, expected)))

inline bool writeFileAt(const QString &path, const QByteArray &contents, const QDateTime &time)
{
    return TestKit::writeFile(path, contents) && setModificationTime(path, time);
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

#ifndef Q_OS_WIN
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
#else
// On Windows the locator lists the user's own temporary folder, whatever the
// environment says, so the test works there: it points TEMP and TMP (and so
// QDir::tempPath()) at that folder too, and LOCALAPPDATA at a fresh folder
// under the working directory. What the test adds to the temporary folder is
// removed again; what was there before is left alone.
class OwnTemporaryDirectory
{
public:
    explicit OwnTemporaryDirectory(const QString &name)
        : path(QDir::fromNativeSeparators(interpreterTemporaryDirectory(loginUserName())))
        , cache(QDir::current().absoluteFilePath(name + QStringLiteral("-cache")))
        , previous(saved("TEMP"))
        , previousTmp(saved("TMP"))
        , previousCache(saved("LOCALAPPDATA"))
    {
        QDir().mkpath(path);
        before = QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QDir(cache).removeRecursively();
        QDir().mkpath(cache);
        qputenv("TEMP", QFile::encodeName(QDir::toNativeSeparators(path)));
        qputenv("TMP", QFile::encodeName(QDir::toNativeSeparators(path)));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(cache)));
    }
    ~OwnTemporaryDirectory()
    {
        restore("TEMP", previous);
        restore("TMP", previousTmp);
        restore("LOCALAPPDATA", previousCache);
        const QDir folder(path);
        for (const QString &entry :
             folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (before.contains(entry))
                continue;
            const QString added = folder.filePath(entry);
            if (QFileInfo(added).isDir())
                QDir(added).removeRecursively();
            else
                QFile::remove(added);
        }
        QDir(cache).removeRecursively();
    }
#endif
    OwnTemporaryDirectory(const OwnTemporaryDirectory &) = delete;
    OwnTemporaryDirectory &operator=(const OwnTemporaryDirectory &) = delete;

    QString filePath(const QString &name) const
    {
        return path + QLatin1Char('/') + name;
    }
    bool makeFolder(const QString &name) const
    {
        return QDir(path).mkpath(name);
    }

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
#ifdef Q_OS_WIN
    const QByteArray previousTmp;
    QStringList before;
#endif
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
        saved = dup(fileno(stderr));
        dup2(file.handle(), fileno(stderr));
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
        dup2(saved, fileno(stderr));
        close(saved);
        saved = -1;
    }

    QTemporaryFile file { QDir::current().absoluteFilePath(QStringLiteral("stderr-XXXXXX")) };
    int saved = -1;
};
