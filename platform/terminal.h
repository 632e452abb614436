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
