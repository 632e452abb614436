#pragma once

#include "cli/commandentry.h"

// rudireze-cli locate: the default firmware file the window would take.
extern const CommandEntry kLocateCommand;
