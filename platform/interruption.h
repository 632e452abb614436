#pragma once

#include <QObject>
#include <QString>

#include <limits>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP (on Windows, the console's Ctrl-C and Ctrl-Break,
// and its close, log-off and shut-down events) turned into a signal of the
// event loop, so that a command can stop its work and still report it. The
// first `delivered` of them are passed on; one more ends the process at once
// with its own status. The previous handling is restored when the object
// goes. One instance at a time.
//
// monitor and proxy end on the first signal and take every one (none ends
// them at once), and leave SIGHUP to its default: a closed terminal ends
// them outright.
class Interruption : public QObject
{
    Q_OBJECT

public:
    // A process ended by signal N exits with 128 + N, as shells report it.
    static constexpr int kSignalExitBase = 128;
    // The numbers POSIX gives them; Windows has no SIGHUP, and its console
    // events are reported under these names too.
    static constexpr int kSigHup = 1;
    static constexpr int kSigInt = 2;
    static constexpr int kSigTerm = 15;

    // Every signal passed on: none ends the process at once.
    static constexpr int kDeliverAll = std::numeric_limits<int>::max();
    // Whether SIGHUP is caught; Windows has none, its console's close
    // events are always caught.
    enum class Hangup { Caught, Default };

    explicit Interruption(int delivered = 1, Hangup hangup = Hangup::Caught,
                          QObject *parent = nullptr);
    ~Interruption() override;

    bool happened() const { return count > 0; }
    // 130 (SIGINT), 143 (SIGTERM) or 129 (SIGHUP) for the first that came;
    // 0 while none came.
    int exitStatus() const { return happened() ? kSignalExitBase + first : 0; }
    // "SIGINT", "SIGTERM" or "SIGHUP": the latest that came; empty while none
    // came.
    QString signalName() const;

signals:
    // Once for each signal passed on; `count` is 1 for the first.
    void requested(int count);

private:
    // On the event loop's thread.
    Q_INVOKABLE void deliver(int signalNumber);

    QSocketNotifier *notifier = nullptr;
    int count = 0;
    int first = 0;
    int latest = 0;
};
