#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Standard input as it arrives, for an event loop that also serves sockets:
// a socket notifier on descriptor 0 on POSIX systems, a reading thread on
// Windows (whose console handles cannot be waited on that way).
class StandardInput : public QObject
{
    Q_OBJECT

public:
    explicit StandardInput(QObject *parent = nullptr);
    ~StandardInput() override;

    // Starts reading; ended() follows at once when there is no standard input.
    void start();

signals:
    void received(const QByteArray &bytes);
    // End of file, a closed descriptor or a read error: nothing more comes.
    void ended();

private:
    void readAvailable();
    void finish();

    QSocketNotifier *notifier = nullptr;
    bool finished = false;
};

// Ctrl-C and SIGTERM (on Windows, the console's Ctrl-C and close events)
// turned into a signal of the event loop, so a long-running command ends the
// way it ends by itself: connections closed, output flushed, its own exit
// status. One instance at a time.
class StopRequests : public QObject
{
    Q_OBJECT

public:
    explicit StopRequests(QObject *parent = nullptr);
    ~StopRequests() override;

signals:
    void requested();

private:
    QSocketNotifier *notifier = nullptr;
};
