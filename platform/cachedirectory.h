#pragma once

#include <QString>

// The user's cache directory as the later IDEs find it: %LOCALAPPDATA% on
// Windows, ~/Library/Caches on macOS, $XDG_CACHE_HOME or ~/.cache elsewhere.
QString userCacheDirectory();
