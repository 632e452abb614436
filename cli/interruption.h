#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP (on Windows, the console's Ctrl-C and Ctrl-Break,
// and its close, log-off and shut-down events) turned into a signal of the
// event loop, so that a command can stop its work and still report it. The
// first one is remembered; a second one ends the process at once with its
// own status. The previous handling is restored when the object goes. One
// instance at a time.
class Interruption : public QObject
{
    Q_OBJECT

public:
    // A process ended by signal N exits with 128 + N, as shells report it.
    static constexpr int kSignalExitBase = 128;

    explicit Interruption(QObject *parent = nullptr);
    ~Interruption() override;

    bool happened() const { return number != 0; }
    // 130 (SIGINT), 143 (SIGTERM) or 129 (SIGHUP); 0 while none came.
    int exitStatus() const { return happened() ? kSignalExitBase + number : 0; }
    // "SIGINT", "SIGTERM" or "SIGHUP"; empty while none came.
    QString signalName() const;

signals:
    void requested();

private:
    // On the event loop's thread; only the first counts.
    Q_INVOKABLE void deliver(int signalNumber);

    QSocketNotifier *notifier = nullptr;
    int number = 0;
};
