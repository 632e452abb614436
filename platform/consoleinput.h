#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Standard input as it arrives, for an event loop that also serves sockets:
// a socket notifier on descriptor 0 on POSIX systems, a reading thread on
// Windows (whose console handles cannot be waited on that way), each in
// consoleinput_<platform>.cpp.
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
    static constexpr int kReadChunk = 4096;

    void readAvailable();
    void finish();

    QSocketNotifier *notifier = nullptr;
    bool finished = false;
};
