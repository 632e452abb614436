#include "processsignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int pipeEnds[2] = { -1, -1 };

void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    // Only async-signal-safe calls here; the loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &byte, 1);
}
} // namespace

ProcessSignals::ProcessSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeEnds) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ProcessSignals::readPipe);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : { SIGINT, SIGTERM, SIGUSR1 })
        sigaction(number, &action, nullptr);
}

ProcessSignals::~ProcessSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int number : { SIGINT, SIGTERM, SIGUSR1 })
        sigaction(number, &action, nullptr);
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        pipeEnds[0] = pipeEnds[1] = -1;
    }
}

void ProcessSignals::readPipe()
{
    unsigned char byte = 0;
    if (::read(pipeEnds[1], &byte, 1) != 1)
        return;
    if (byte == SIGUSR1)
        emit flashDumpRequested();
    else
        emit exitRequested(byte);
}
#else
ProcessSignals::ProcessSignals(QObject *parent)
    : QObject(parent)
{
}
ProcessSignals::~ProcessSignals() = default;
void ProcessSignals::readPipe() { }
#endif
