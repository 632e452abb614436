#include "cli/interruption.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// The numbers POSIX gives them; Windows has no SIGHUP, and its console
// events are reported under these names too.
constexpr int kSigHup = 1;
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;
} // namespace

QString Interruption::signalName() const
{
    switch (latest) {
    case kSigHup:
        return QStringLiteral("SIGHUP");
    case kSigInt:
        return QStringLiteral("SIGINT");
    case kSigTerm:
        return QStringLiteral("SIGTERM");
    default:
        return latest == 0 ? QString() : QStringLiteral("signal %1").arg(latest);
    }
}

void Interruption::deliver(int signalNumber)
{
    if (count == 0)
        first = signalNumber;
    latest = signalNumber;
    emit requested(++count);
}

#ifdef Q_OS_WIN

namespace {
std::atomic<Interruption *> current { nullptr };
std::atomic<int> received { 0 };
int deliveredLimit = 1;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? kSigInt : kSigHup;
    if (received.fetch_add(1) >= deliveredLimit)
        ExitProcess(UINT(Interruption::kSignalExitBase + number));
    // The handler runs on a thread of its own.
    if (Interruption *interruption = current.load())
        QMetaObject::invokeMethod(interruption, "deliver", Qt::QueuedConnection,
                                  Q_ARG(int, number));
    return TRUE;
}
} // namespace

Interruption::Interruption(int delivered, Hangup, QObject *parent)
    : QObject(parent)
{
    received = 0;
    deliveredLimit = delivered;
    current = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

Interruption::~Interruption()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current = nullptr;
}

#else

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

#endif
