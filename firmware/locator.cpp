#include "app/widget.h"
#include "firmware/listingscan.h"
#include "firmware/sketchbuilds.h"
#include "platform/commandshell.h"
#include "platform/filetime.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {
const char kLogPath[] = "./log.txt";

// Every second listing is kept in ./log.txt, which only ever grows.
bool appendToLog(const QString &listing)
{
    QFile log(QString::fromLatin1(kLogPath));
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

void Widget::find_build_dir()
{
    const QString listing = runCommandInterpreter(buildDirectoryCommands(currentUserName()));
    if (const std::optional<QString> dir = buildDirectoryInListing(listing))
        find_hex_in_dir(*dir);

    // Later IDE generations build elsewhere; whichever build was written
    // last is the one the user made most recently.
    const std::optional<SketchBuild> later =
        newestSketchBuild(laterBuildLayouts(QDir::tempPath(), userCacheDirectory()));
    if (later && isNewerThanChoice(*later, default_path)) {
        default_path = QDir::toNativeSeparators(later->path);
        read_generate_time(default_path);
    }
}

void Widget::find_hex_in_dir(QString dir)
{
    const QString user = currentUserName();
    const QString listing = runCommandInterpreter(hexFileCommands(user, dir));
    if (!appendToLog(listing))
        return;
    const std::optional<QString> name = hexFileInListing(listing);
    if (!name) {
        qDebug() << "can now get hex file";
        return;
    }
    const QChar separator = QDir::separator();
    default_path = interpreterTemporaryDirectory(user) + separator + dir + separator + *name;
    read_generate_time(default_path);
}

void Widget::read_generate_time(QString path)
{
    const QDateTime lastWrite = lastWriteTimeUtc(path);
    if (lastWrite.isValid())
        generate_time = generateTimeText(lastWrite);
}
