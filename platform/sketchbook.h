#pragma once

#include <QString>

// Where the IDE keeps sketches unless told: Documents\Arduino on Windows
// (and macOS), ~/Arduino elsewhere.
QString defaultSketchbook();
