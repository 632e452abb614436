#pragma once

#include <QByteArray>
#include <QString>

class QTcpSocket;

namespace TestKit {

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Recognisable bytes: byte i is (seed * seedStep + i * step + i / period)
// & 0xFF, so pages differ by seed and runs within an image shift every period
// bytes (period 0 leaves that shift out). The defaults are the frame tests'.
QByteArray pattern(int size, int seed, int step = 7, int seedStep = 37, int period = 256);

// Writes the file an upload reads (by default the window's ./update.bin in
// the test's working directory); a failure fails the calling test.
void writeImage(const QByteArray &image, const QString &path = QStringLiteral("update.bin"));

// The update handshake on a connected AT port: "AT+U2W=CLIENT" and then
// "AT+MCUUPDATE=<family>", each answered with at least two bytes within
// timeoutMs. False when an answer falls short.
bool atUpdateHandshake(QTcpSocket &socket, const QByteArray &family, int timeoutMs);

// Sends a POSIX signal to a process the test started. False when it could not
// be sent, and always on Windows, which has no such signals.
bool sendSignal(qint64 processId, int signalNumber);

} // namespace TestKit
