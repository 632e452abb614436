#pragma once

#include "cli/options.h"

// The commands of rudireze-cli; each returns the process's exit status.
int runList(const Options &options);
int runConvert(const Options &options);
int runLocate(const Options &options);
int runUpload(const Options &options);
int runRename(const Options &options);
// Keeps a copy of the program each target's board holds.
int runRead(const Options &options);

// With --json, a failure that comes before any result still gives standard
// output a JSON object: the command's own keys, empty, and "error".
void printFailureJson(Command command, const QString &error);

// Runs what the options ask for, help included.
int runCommand(const Options &options);
