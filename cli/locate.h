#pragma once

#include "cli/commandspec.h"

// rudireze-cli locate: the default firmware file the window would take.
extern const CommandSpec kLocateCommand;
