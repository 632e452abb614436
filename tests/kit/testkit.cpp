#include "testkit.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>
#include <QtTest>

#ifndef Q_OS_WIN
#include <signal.h>
#endif

namespace TestKit {

QByteArray pattern(int size, int seed, int step, int seedStep, int period)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        const int shift = period > 0 ? i / period : 0;
        bytes[i] = static_cast<char>((seed * seedStep + i * step + shift) & 0xFF);
    }
    return bytes;
}

void writeImage(const QByteArray &image, const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(image), static_cast<qint64>(image.size()));
}

bool atUpdateHandshake(QTcpSocket &socket, const QByteArray &family, int timeoutMs)
{
    // The module answers each command with a short text; its length is all
    // the handshake needs.
    constexpr int kReplyBytes = 2;
    for (const QByteArray &command :
         { QByteArrayLiteral("AT+U2W=CLIENT\r\n"), QByteArray("AT+MCUUPDATE=" + family) }) {
        socket.write(command);
        socket.flush();
        QByteArray reply;
        QDeadlineTimer deadline(timeoutMs);
        while (reply.size() < kReplyBytes && !deadline.hasExpired()) {
            socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            reply += socket.readAll();
        }
        if (reply.size() < kReplyBytes)
            return false;
    }
    return true;
}

bool sendSignal(qint64 processId, int signalNumber)
{
#ifdef Q_OS_WIN
    Q_UNUSED(processId)
    Q_UNUSED(signalNumber)
    return false;
#else
    return processId > 0 && ::kill(static_cast<pid_t>(processId), signalNumber) == 0;
#endif
}

} // namespace TestKit
