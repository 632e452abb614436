#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>

// A serial line the test plays the far end of: what the far end has said
// waits in a buffer until read; writes go to writeData of the subclass.
class FakeLine : public QIODevice
{
public:
    FakeLine();

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    // Every read and how many bytes it took.
    QList<qint64> readSizes;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

    QByteArray pending;
};

// A device that hands out one prepared piece per wait, as a socket would
// deliver a reply that the link cut into pieces. It records every wait.
class PieceDevice : public FakeLine
{
public:
    explicit PieceDevice(QList<QByteArray> pieces)
        : pieces(std::move(pieces))
    {
    }

    bool waitForReadyRead(int msecs) override;

    QList<int> waits;
    QByteArray written;

protected:
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QList<QByteArray> pieces;
};
