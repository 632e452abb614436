#include "upload/stkstep.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QDebug>
#include <QIODevice>
#include <QThread>

namespace {
// A stop request is noticed within this time while a socket is waited on.
constexpr int kWaitSliceMs = 50;

bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}
} // namespace

bool waitForData(QIODevice *device, int waitMs)
{
    if (device->bytesAvailable() > 0)
        return true;
    auto *socket = qobject_cast<QAbstractSocket *>(device);
    if (!socket)
        return device->waitForReadyRead(waitMs);

    QDeadlineTimer deadline(waitMs);
    while (!stopRequested()) {
        // A closed or broken connection brings nothing more: no use waiting.
        if (socket->state() != QAbstractSocket::ConnectedState)
            return socket->bytesAvailable() > 0;
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            return false;
        if (socket->waitForReadyRead(static_cast<int>(qMin<qint64>(remaining, kWaitSliceMs))))
            return true;
    }
    return false;
}

void writeCommand(QIODevice *device, const QByteArray &bytes)
{
    device->write(bytes);
    if (auto *socket = qobject_cast<QAbstractSocket *>(device))
        socket->flush();
}

bool collectReply(QIODevice *device, int expected, int tries, int waitMs, const char *label,
                  const QByteArray &detail, QByteArray *reply)
{
    qint64 total = 0;
    char piece[kMaxReadBytes];
    for (int round = 0; round < tries; ++round) {
        waitForData(device, waitMs);
        const qint64 count = qMax<qint64>(device->read(piece, kMaxReadBytes), 0);
        total += count;
        if (reply)
            reply->append(piece, static_cast<int>(count));
        if (label) {
            const QByteArray hex = QByteArray(piece, static_cast<int>(count)).toHex(' ');
            if (detail.isEmpty())
                qDebug() << label << hex << "len=" << total;
            else
                qDebug() << label << detail << hex << "len=" << total;
        }
        if (total == expected)
            return true;
        if (stopRequested())
            return false;
    }
    return false;
}

void sendCommand(QIODevice *device, const StkCommand &command)
{
    if (command.sendLabel)
        qDebug() << command.sendLabel << command.bytes.toHex(' ') << command.bytes.size();
    writeCommand(device, command.bytes);
}

bool transact(QIODevice *device, const StkCommand &command, QByteArray *reply)
{
    sendCommand(device, command);
    return collectReply(device, command.expected, command.tries, command.waitMs,
                        command.replyLabel, command.detail, reply);
}
