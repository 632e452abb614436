#pragma once

#include <cstdio>

// What the command-line tool needs to know about where its output goes.

// Whether the stream is an interactive terminal that takes the cursor
// movements of the live progress display (on Windows, a console with virtual
// terminal processing switched on).
bool isInteractiveTerminal(std::FILE *stream);

// Columns of the terminal behind the stream; kDefaultTerminalColumns when
// unknown.
int terminalColumns(std::FILE *stream);
constexpr int kDefaultTerminalColumns = 80;

// Sends the process's standard error to nowhere while it lives, so that the
// engine's diagnostics do not tear the live display apart; restores it after.
class StandardErrorSilencer
{
public:
    StandardErrorSilencer();
    ~StandardErrorSilencer();
    StandardErrorSilencer(const StandardErrorSilencer &) = delete;
    StandardErrorSilencer &operator=(const StandardErrorSilencer &) = delete;

private:
    int saved = -1;
};
