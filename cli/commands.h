#pragma once

#include "cli/commandline.h"

#include <optional>

// The commands of rudireze-cli; each returns the process's exit status.
int runList(const Options &options);
int runConvert(const Options &options);
int runLocate(const Options &options);
int runUpload(const Options &options);
int runRename(const Options &options);
// Keeps a copy of the program each target's board holds.
int runRead(const Options &options);

// Module names and other announced texts may hold anything: shown raw, an
// escape sequence would act on the terminal and a line end forge a line.
QString printable(const QString &text);

// The image of the command line's HEX file, or the exit status when it
// cannot be uploaded to the board (the reason printed).
std::optional<int> readUploadImage(const Options &options, QByteArray *image);

// Runs what the options ask for, help included.
int runCommand(const Options &options);
