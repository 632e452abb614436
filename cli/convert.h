#pragma once

#include "cli/commandspec.h"

// rudireze-cli convert: an Intel HEX file into the window's flat image.
extern const CommandSpec kConvertCommand;
