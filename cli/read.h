#pragma once

#include "cli/commandspec.h"

// rudireze-cli read: a copy of the program each target's board holds.
extern const CommandSpec kReadCommand;
