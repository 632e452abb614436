#pragma once

#include "cli/commandspec.h"

// rudireze-cli rename: a module's new name, sent to its AT port.
extern const CommandSpec kRenameCommand;
