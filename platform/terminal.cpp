#include "platform/terminal.h"

// What both platforms share; the terminal itself is asked in terminal_posix.cpp
// and terminal_win.cpp.

namespace {
std::FILE *errorStream = nullptr;
} // namespace

std::FILE *standardError()
{
    return errorStream ? errorStream : stderr;
}

void setStandardError(std::FILE *stream)
{
    errorStream = stream;
}
