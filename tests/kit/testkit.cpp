#include "testkit.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
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

QStringList words(const char *text, const QStringList &values)
{
    QStringList line;
    for (const QString &word :
         QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int index
            = word.size() == 2 && word.at(0) == QLatin1Char('%') ? word.at(1).digitValue() : 0;
        line << (index > 0 && index <= values.size() ? values.at(index - 1) : word);
    }
    return line;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

void writeImage(const QByteArray &image, const QString &path)
{
    QVERIFY2(writeFile(path, image), qPrintable(path));
}

bool connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port, int timeoutMs)
{
    socket.connectToHost(address, port);
    return socket.waitForConnected(timeoutMs);
}

QByteArray readUntil(QTcpSocket &socket, const std::function<bool(const QByteArray &)> &enough,
                     int timeoutMs)
{
    QByteArray received = socket.readAll();
    QDeadlineTimer deadline(timeoutMs);
    while (!enough(received) && !deadline.hasExpired()
           && socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
        received += socket.readAll();
    return received;
}

QByteArray exchange(QTcpSocket &socket, const QByteArray &request, int count, int timeoutMs)
{
    socket.write(request);
    socket.flush();
    return readUntil(
        socket, [count](const QByteArray &received) { return received.size() >= count; },
        timeoutMs);
}

bool atUpdateHandshake(QTcpSocket &socket, const QByteArray &family, int timeoutMs)
{
    // The module answers each command with a short text; its length is all
    // the handshake needs.
    constexpr int kReplyBytes = 2;
    return exchange(socket, "AT+U2W=CLIENT\r\n", kReplyBytes, timeoutMs).size() >= kReplyBytes
        && exchange(socket, "AT+MCUUPDATE=" + family, kReplyBytes, timeoutMs).size() >= kReplyBytes;
}

QString target(const QString &address, quint16 dataPort, quint16 atPort)
{
    return QStringLiteral("%1:%2:%3").arg(address).arg(dataPort).arg(atPort);
}

QJsonObject resultFor(const QJsonObject &report, const QString &target)
{
    for (const QJsonValue &value : report.value(QStringLiteral("results")).toArray()) {
        if (value.toObject().value(QStringLiteral("target")).toString() == target)
            return value.toObject();
    }
    return QJsonObject();
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
