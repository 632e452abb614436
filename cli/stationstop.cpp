#include "cli/stationstop.h"

#include <atomic>
#include <csignal>

namespace {
// A signal handler may only touch lock-free atomics.
std::atomic<int> requests { 0 };
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");

using Handler = void (*)(int);
Handler previousInterrupt = SIG_DFL;
Handler previousTerminate = SIG_DFL;

extern "C" void noteRequest(int signalNumber)
{
    requests.fetch_add(1);
    // Some systems reset the handler once it has run.
    std::signal(signalNumber, noteRequest);
}
} // namespace

StationStop::StationStop()
{
    requests.store(0);
    previousInterrupt = std::signal(SIGINT, noteRequest);
    previousTerminate = std::signal(SIGTERM, noteRequest);
    connect(&poll, &QTimer::timeout, this, [this] {
        const int now = requests.load();
        while (seen < now)
            emit requested(++seen);
    });
    poll.start(kPollIntervalMs);
}

StationStop::~StationStop()
{
    std::signal(SIGINT, previousInterrupt == SIG_ERR ? SIG_DFL : previousInterrupt);
    std::signal(SIGTERM, previousTerminate == SIG_ERR ? SIG_DFL : previousTerminate);
}
