#pragma once

#include <QObject>
#include <QTimer>

// Ctrl-C (SIGINT) and SIGTERM turned into a Qt signal, so a long-running
// command can end in order: the first request lets work in progress finish,
// a later one may cut it short. Only one may exist at a time; the previous
// handlers come back when it is destroyed.
class StationStop : public QObject
{
    Q_OBJECT

public:
    // How often the flag the handler sets is looked at.
    static constexpr int kPollIntervalMs = 100;

    StationStop();
    ~StationStop() override;

    int count() const { return seen; }

signals:
    // Once for every request, with the number of requests so far.
    void requested(int count);

private:
    QTimer poll;
    int seen = 0;
};
