#include "platform/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {
HANDLE consoleOf(std::FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}
} // namespace

bool isInteractiveTerminal(std::FILE *stream)
{
    if (!_isatty(_fileno(stream)))
        return false;
    // The live display moves the cursor with escape sequences.
    const HANDLE console = consoleOf(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode))
        return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool isTerminal(std::FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

int terminalColumns(std::FILE *stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (GetConsoleScreenBufferInfo(consoleOf(stream), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return kDefaultTerminalColumns;
}

int terminalRows(std::FILE *stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (GetConsoleScreenBufferInfo(consoleOf(stream), &info))
        return info.srWindow.Bottom - info.srWindow.Top + 1;
    return kDefaultTerminalRows;
}

StandardOutputTaken::StandardOutputTaken()
{
    std::fflush(stdout);
    saved = _dup(_fileno(stdout));
    if (saved < 0)
        return;
    // The bytes go out as they are, line ends untranslated.
    _setmode(saved, _O_BINARY);
    _dup2(_fileno(stderr), _fileno(stdout));
}

StandardOutputTaken::~StandardOutputTaken()
{
    if (saved < 0)
        return;
    std::fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
}
