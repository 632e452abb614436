#pragma once

#include "cli/commandspec.h"

// rudireze-cli upload: one HEX file into many boards at once.
extern const CommandSpec kUploadCommand;
