#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM (exit) and SIGUSR1 (write the flash files) into
// Qt signals on the event loop, through a pipe written by the handler.
class ProcessSignals : public QObject
{
    Q_OBJECT

public:
    explicit ProcessSignals(QObject *parent = nullptr);
    ~ProcessSignals() override;

signals:
    void exitRequested(int signalNumber);
    void flashDumpRequested();

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
};
