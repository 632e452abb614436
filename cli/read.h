#pragma once

#include "cli/commandentry.h"

// rudireze-cli read: a copy of the program each target's board holds.
extern const CommandEntry kReadCommand;
