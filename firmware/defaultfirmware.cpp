#include "firmware/defaultfirmware.h"

#include "firmware/listingscan.h"
#include "firmware/sketchbuilds.h"
#include "platform/cachedirectory.h"
#include "platform/commandshell.h"
#include "platform/folderlisting.h"
#include "platform/pathkind.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {
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
    // A log that cannot be written is reported and the search goes on: the
    // listing is what finds the file, the log only keeps it.
    if (!logPath.isEmpty())
        appendToLocatorLog(logPath, listing.toLocal8Bit());
    const std::optional<QString> name = hexFileInListing(listing);
    if (!name) {
        // Kept as users know it: see docs/kept-from-the-design.md.
        qDebug() << "can now get hex file";
        return;
    }
    const QChar separator = QDir::separator();
    choice.path = interpreterTemporaryDirectory(userName) + separator + dir + separator + *name;
    readGenerateTime(choice, choice.path);
}

bool appendToLocatorLog(const QString &logPath, const QByteArray &text, qint64 limitBytes)
{
    // Never through a symbolic link: whatever file it leads to is not this
    // program's log, and halving it would lose someone's data.
    const OpenedFile opened = openWithoutFollowing(logPath);
    QFile log;
    if (opened.descriptor < 0
        || !log.open(opened.descriptor, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        const QString reason = opened.descriptor < 0 ? opened.error : log.errorString();
        // A QFile that did not open has not taken the descriptor over.
        closeDescriptor(opened.descriptor);
        // Kept as users know it: see docs/kept-from-the-design.md.
        std::fprintf(stderr, "open file error: %s\n", reason.toLocal8Bit().constData());
        return false;
    }
    // A device or a FIFO takes the listing as it comes and has nothing to cut.
    if (!opened.regular) {
        log.write(text);
        return true;
    }
    log.seek(log.size());
    log.write(text);
    const qint64 size = log.size();
    if (size <= limitBytes)
        return true;
    // The newest half stays, from the first line that starts in it. With the
    // byte before it: a line end there means the half starts with a whole line.
    log.seek(size - size / 2 - 1);
    QByteArray kept = log.read(size / 2 + 1);
    const int lineEnd = kept.indexOf('\n');
    if (lineEnd >= 0 && lineEnd + 1 < kept.size())
        kept.remove(0, lineEnd + 1);
    else
        kept.remove(0, 1);
    log.seek(0);
    log.write(kept);
    log.resize(kept.size());
    return true;
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
