#pragma once

#include "cli/commandentry.h"

// rudireze-cli upload: one HEX file into many boards at once.
extern const CommandEntry kUploadCommand;
