#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

// A single-shot wake-up with nanosecond resolution for the event loop. Qt's
// timers count whole milliseconds, which would make every byte of a serial
// line up to a millisecond late and lump bytes meant to leave apart; where
// the system has a finer timer, it is used.
class PreciseWake : public QObject
{
    Q_OBJECT

public:
    explicit PreciseWake(QObject *parent = nullptr);
    ~PreciseWake() override;

    // Fires `due` after this many nanoseconds; a negative value disarms it.
    void wakeAfterNs(qint64 ns);

signals:
    void due();

private:
    QTimer timer;
    int wakeFd = -1;
    QSocketNotifier *wakeNotifier = nullptr;
};
