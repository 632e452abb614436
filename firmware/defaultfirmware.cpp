#include "firmware/defaultfirmware.h"

#include "firmware/listingscan.h"
#include "firmware/sketchbuilds.h"
#include "platform/commandshell.h"
#include "platform/filetime.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {
// The log only ever grows.
bool appendToLog(const QString &logPath, const QString &listing)
{
    if (logPath.isEmpty())
        return true;
    QFile log(logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "open file error: %s\n", log.errorString().toLocal8Bit().constData());
        return false;
    }
    log.write(listing.toLocal8Bit());
    return true;
}

// Whether a later IDE's build was written after the file now chosen (or the
// chosen file is gone).
bool isNewerThanChoice(const SketchBuild &build, const QString &choice)
{
    const QDateTime chosen = lastWriteTimeUtc(choice);
    return !chosen.isValid() || build.lastWrite > chosen;
}
} // namespace

void locateDefaultFirmware(FirmwareChoice &choice, const QString &userName, const QString &logPath)
{
    const QString listing = runCommandInterpreter(buildDirectoryCommands(userName));
    if (const std::optional<QString> dir = buildDirectoryInListing(listing))
        locateHexInBuildDir(choice, userName, *dir, logPath);

    // Later IDE generations build elsewhere; whichever build was written
    // last is the one the user made most recently.
    const std::optional<SketchBuild> later
        = newestSketchBuild(laterBuildLayouts(QDir::tempPath(), userCacheDirectory()));
    if (later && isNewerThanChoice(*later, choice.path)) {
        choice.path = QDir::toNativeSeparators(later->path);
        readGenerateTime(choice, choice.path);
    }
}

void locateHexInBuildDir(FirmwareChoice &choice, const QString &userName, const QString &dir,
                         const QString &logPath)
{
    const QString listing = runCommandInterpreter(hexFileCommands(userName, dir));
    if (!appendToLog(logPath, listing))
        return;
    const std::optional<QString> name = hexFileInListing(listing);
    if (!name) {
        qDebug() << "can now get hex file";
        return;
    }
    const QChar separator = QDir::separator();
    choice.path = interpreterTemporaryDirectory(userName) + separator + dir + separator + *name;
    readGenerateTime(choice, choice.path);
}

void readGenerateTime(FirmwareChoice &choice, const QString &path)
{
    const QDateTime lastWrite = lastWriteTimeUtc(path);
    if (lastWrite.isValid())
        choice.generateTime = generateTimeText(lastWrite);
}

QString defaultFileName(const QString &path)
{
    return path.mid(path.lastIndexOf(QDir::separator()) + 1);
}
