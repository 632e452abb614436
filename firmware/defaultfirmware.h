#pragma once

#include <QString>

// The default firmware file and the text of its last-write time, as the
// window's locator keeps them between runs.
struct FirmwareChoice
{
    QString path;
    QString generateTime;
};

// The window keeps every second interpreter listing here.
// Kept as users know it: see docs/kept-from-the-design.md.
constexpr char kLocatorLogPath[] = "./log.txt";
// Each locator run adds a listing (one every refresh tick in default mode and
// one per Upload press): a few hundred bytes, or a few KiB with many build
// folders in the temporary directory (bench_firmware measures it); past this
// size the log's oldest half is dropped.
constexpr qint64 kLocatorLogLimitBytes = 8 * 1024 * 1024;

// Appends the text to the log. Once the log is larger than limitBytes its
// oldest half is dropped, up to the end of a line, in place: the file is
// rewritten and no other file is made. A symbolic link named as the log is
// never followed, and only a regular file is ever cut. False, with "open
// file error" on the standard error stream, when the log cannot be opened.
bool appendToLocatorLog(const QString &logPath, const QByteArray &text,
                        qint64 limitBytes = kLocatorLogLimitBytes);

// One run of the default firmware locator: the newest sketch image of the
// build*.tmp folders of the user's temporary directory (through the command
// interpreter), against the builds of the later IDE generations; whichever
// was written last. Nothing found keeps the previous choice. `logPath`
// receives the listing of the .hex search (a log that cannot be opened is
// reported and the search goes on); an empty path keeps no log.
void locateDefaultFirmware(FirmwareChoice &choice, const QString &userName, const QString &logPath);

// The interpreter search for the newest sketch image in one build*.tmp folder
// of the user's temporary directory.
void locateHexInBuildDir(FirmwareChoice &choice, const QString &userName, const QString &dir,
                         const QString &logPath);

// Sets choice.generateTime from the file's last-write time; an unreadable
// file keeps the previous text.
void readGenerateTime(FirmwareChoice &choice, const QString &path);

// The file-name part of a default firmware path, which uses the platform's
// separator ('\\' on Windows); a path without one is a name already.
QString defaultFileName(const QString &path);
