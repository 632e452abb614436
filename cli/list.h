#pragma once

#include "cli/commandspec.h"

// rudireze-cli list: the modules announcing themselves.
extern const CommandSpec kListCommand;
