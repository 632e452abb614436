#pragma once

#include <QString>

// Why the window's last conversion into ./update.bin failed (empty after a
// success), for the box that tells the user. The window converts on the GUI
// thread only.
QString lastHexConversionFailure();
