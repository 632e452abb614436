#pragma once

#include <cstdio>

// What the command-line tool needs to know about where its output goes.

// Whether the stream is an interactive terminal that takes the cursor
// movements of the live progress display (on Windows, a console with virtual
// terminal processing switched on).
bool isInteractiveTerminal(std::FILE *stream);

// Whether the stream is a terminal (or a console) at all; nothing is changed.
bool isTerminal(std::FILE *stream);

// Columns and rows of the terminal behind the stream; the defaults when
// unknown.
int terminalColumns(std::FILE *stream);
int terminalRows(std::FILE *stream);
constexpr int kDefaultTerminalColumns = 80;
constexpr int kDefaultTerminalRows = 24;

// Sends the process's standard error to nowhere while it lives, so that what
// the engine writes there itself (perror) stays out of the way unless
// --verbose asks for it; the program's own messages still reach the real
// standard error through standardError(). Restores it after.
class StandardErrorSilencer
{
public:
    StandardErrorSilencer();
    ~StandardErrorSilencer();
    StandardErrorSilencer(const StandardErrorSilencer &) = delete;
    StandardErrorSilencer &operator=(const StandardErrorSilencer &) = delete;

private:
    int saved = -1;
    std::FILE *kept = nullptr;
};

// "-" for an output file: the file's bytes are the one thing on standard
// output. While this lives, whatever the program prints there goes to
// standard error instead.
class StandardOutputTaken
{
public:
    StandardOutputTaken();
    ~StandardOutputTaken();
    StandardOutputTaken(const StandardOutputTaken &) = delete;
    StandardOutputTaken &operator=(const StandardOutputTaken &) = delete;

    // The real standard output, for QFile::open(int, ...); -1 when it could
    // not be taken.
    int descriptor() const { return saved; }

private:
    int saved = -1;
};

// Where the program's own messages go: standard error, or the copy of it
// kept while the engine's diagnostics are silenced (StandardErrorSilencer).
std::FILE *standardError();
void setStandardError(std::FILE *stream);
