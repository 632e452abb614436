#include "platform/interruption.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {
// SIGHUP last: left out when it keeps its default.
constexpr int kHandled[] = { SIGINT, SIGTERM, SIGHUP };
constexpr int kHandledCount = int(sizeof kHandled / sizeof kHandled[0]);
struct sigaction previous[kHandledCount];
int caughtCount = kHandledCount;
// The handler's end of a pipe the event loop watches: a handler may do
// little more than write(2) and _exit(2).
int signalPipe[2] = { -1, -1 };
// A handler may only touch lock-free atomics.
std::atomic<int> received { 0 };
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");
int deliveredLimit = 1;

void onSignal(int number)
{
    if (received.fetch_add(1) >= deliveredLimit)
        _exit(Interruption::kSignalExitBase + number);
    const char byte = char(number);
    const ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
}
} // namespace

Interruption::Interruption(int delivered, Hangup hangup, QObject *parent)
    : QObject(parent)
{
    if (pipe(signalPipe) != 0)
        return;
    for (int end : signalPipe) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (read(signalPipe[0], &byte, 1) == 1)
            deliver(byte);
    });
    received = 0;
    deliveredLimit = delivered;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    caughtCount = hangup == Hangup::Caught ? kHandledCount : kHandledCount - 1;
    for (int index = 0; index < caughtCount; ++index)
        sigaction(kHandled[index], &action, &previous[index]);
}

Interruption::~Interruption()
{
    if (!notifier)
        return;
    for (int index = 0; index < caughtCount; ++index)
        sigaction(kHandled[index], &previous[index], nullptr);
    delete notifier;
    for (int &end : signalPipe) {
        close(end);
        end = -1;
    }
}
