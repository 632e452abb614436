#include "precisewake.h"

#include <QSocketNotifier>

#include <limits>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace {
constexpr qint64 kNsPerSecond = 1000000000;
constexpr qint64 kNsPerMs = 1000000;
} // namespace

PreciseWake::PreciseWake(QObject *parent)
    : QObject(parent)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &PreciseWake::due);
#ifdef Q_OS_LINUX
    wakeFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wakeFd >= 0) {
        wakeNotifier = new QSocketNotifier(wakeFd, QSocketNotifier::Read, this);
        connect(wakeNotifier, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            if (::read(wakeFd, &expirations, sizeof expirations) < 0) {
                // Nothing to take: the wake-up was re-armed meanwhile.
            }
            emit due();
        });
    }
#endif
}

PreciseWake::~PreciseWake()
{
#ifdef Q_OS_LINUX
    if (wakeFd >= 0) {
        delete wakeNotifier;
        ::close(wakeFd);
    }
#endif
}

void PreciseWake::wakeAfterNs(qint64 ns)
{
#ifdef Q_OS_LINUX
    if (wakeFd >= 0) {
        itimerspec spec {};
        if (ns >= 0) {
            // A zero value would disarm the timer; one nanosecond fires at once.
            const qint64 wait = qMax<qint64>(ns, 1);
            spec.it_value.tv_sec = time_t(wait / kNsPerSecond);
            spec.it_value.tv_nsec = long(wait % kNsPerSecond);
        }
        timerfd_settime(wakeFd, 0, &spec, nullptr);
        return;
    }
#endif
    if (ns < 0) {
        timer.stop();
        return;
    }
    // Round up: a timer never fires early, and a late pass catches up.
    const qint64 waitMs = (ns + kNsPerMs - 1) / kNsPerMs;
    timer.start(int(qMin<qint64>(waitMs, std::numeric_limits<int>::max())));
}
