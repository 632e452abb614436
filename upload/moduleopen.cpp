#include "upload/moduleopen.h"

#include "common/names.h"
#include "upload/stkstep.h"

#include <QElapsedTimer>
#include <QTcpSocket>

namespace {
// The drain ends once the data connection has been quiet this long, and after
// kDrainLimitMs at most. The bootloaders answer nothing before they are
// asked, and wait about a second for their first command.
constexpr int kDrainQuietMs = 50;
constexpr int kDrainLimitMs = 400;

bool connectFast(QTcpSocket *socket, const QString &host, quint16 port)
{
    socket->connectToHost(host, port);
    if (!socket->waitForConnected(kModuleConnectTimeoutMs))
        return false;
    // Frames are small and strictly request-reply: do not let them wait for more.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}
} // namespace

ModuleOpening openModule(QTcpSocket *data, QTcpSocket *at, const QString &host, quint16 dataPort,
                         quint16 atPort, AtFamily family)
{
    ModuleOpening opening;
    if (!connectFast(data, host, dataPort)) {
        opening.failed = ModuleOpening::Failure::DataPort;
        return opening;
    }
    if (!connectFast(at, host, atPort)) {
        opening.failed = ModuleOpening::Failure::AtPort;
        return opening;
    }
    opening.handshake = moduleHandshake(at, family);
    if (!opening.handshake.ok) {
        opening.failed = ModuleOpening::Failure::Handshake;
        return opening;
    }
    // Whatever the board said before and while it was reset is no reply to
    // the bootloader's first command; a program that prints all the time
    // leaves plenty.
    opening.stray = drainResetOutput(data);
    return opening;
}

QByteArray drainResetOutput(QIODevice *data)
{
    // A port that floods fills memory as fast as the link goes: taken in a
    // piece at a time, only the newest piece's worth is kept.
    QByteArray tail;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kDrainLimitMs) {
        const qint64 quiet = qMin<qint64>(kDrainQuietMs, kDrainLimitMs - clock.elapsed());
        if (!waitForData(data, static_cast<int>(quiet)))
            break;
        while (data->bytesAvailable() > 0) {
            tail += data->read(kDrainTailBytes);
            if (tail.size() > kDrainTailBytes)
                tail.remove(0, tail.size() - kDrainTailBytes);
        }
    }
    return tail;
}
