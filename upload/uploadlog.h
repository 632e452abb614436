#pragma once

#include <QLoggingCategory>

// Every diagnostic of the upload engine: the protocol trace at debug level,
// what went wrong at warning level, and the system's errors in the manner of
// perror at critical level. The window prints them as it always has; the
// command line only with --verbose.
Q_DECLARE_LOGGING_CATEGORY(lcUpload)

// The text, a colon, a blank and the system's text for errno, as perror
// words it, at critical level.
void logSystemError(const char *text);

// Prints the engine's diagnostics as the window always has: the system errors
// straight on standard error as perror writes them, the rest as messages of
// the default category. Every other message goes to the handler installed
// before. For programs that show the engine's diagnostics as they are.
void installPlainUploadDiagnostics();
