#pragma once

#include "cli/commandentry.h"

// rudireze-cli list: the modules announcing themselves.
extern const CommandEntry kListCommand;
