#include "platform/terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool isInteractiveTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

int terminalColumns(std::FILE *stream)
{
    winsize size {};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultTerminalColumns;
}

int terminalRows(std::FILE *stream)
{
    winsize size {};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return kDefaultTerminalRows;
}

StandardOutputTaken::StandardOutputTaken()
{
    std::fflush(stdout);
    saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved >= 0)
        dup2(fileno(stderr), STDOUT_FILENO);
}

StandardOutputTaken::~StandardOutputTaken()
{
    if (saved < 0)
        return;
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}
