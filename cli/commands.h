#pragma once

#include "cli/commandentry.h"

#include <QVector>

// The commands of rudireze-cli, in the order the overview lists them.
const QVector<const CommandEntry *> &commandEntries();
// The command's own, or nullptr for Command::None.
const CommandEntry *commandEntry(Command command);

// Runs what the options ask for, help included; the process's exit status.
int runCommand(const Options &options);

// The help text of a command; Command::None gives the overview.
QString usageText(Command command);
QString commandName(Command command);
// "rudireze-cli" and the version, as --version prints it.
QString versionText();
