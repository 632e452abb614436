#pragma once

#include "cli/commandentry.h"

// rudireze-cli rename: a module's new name, sent to its AT port.
extern const CommandEntry kRenameCommand;
