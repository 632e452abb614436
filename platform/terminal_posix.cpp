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

StandardErrorSilencer::StandardErrorSilencer()
{
    std::fflush(stderr);
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0)
        return;
    saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved >= 0 && dup2(nowhere, STDERR_FILENO) < 0) {
        close(saved);
        saved = -1;
    }
    close(nowhere);
    if (saved >= 0) {
        const int copy = fcntl(saved, F_DUPFD_CLOEXEC, 0);
        kept = copy >= 0 ? fdopen(copy, "w") : nullptr;
        if (!kept && copy >= 0)
            close(copy);
        setStandardError(kept);
    }
}

StandardErrorSilencer::~StandardErrorSilencer()
{
    if (saved < 0)
        return;
    std::fflush(stderr);
    if (kept) {
        setStandardError(nullptr);
        std::fclose(kept);
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
}

StandardOutputTaken::StandardOutputTaken()
{
    std::fflush(stdout);
    saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved >= 0)
        dup2(fileno(standardError()), STDOUT_FILENO);
}

StandardOutputTaken::~StandardOutputTaken()
{
    if (saved < 0)
        return;
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}
