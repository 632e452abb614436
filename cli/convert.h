#pragma once

#include "cli/commandentry.h"

// rudireze-cli convert: an Intel HEX file into the window's flat image.
extern const CommandEntry kConvertCommand;
