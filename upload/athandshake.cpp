#include "upload/athandshake.h"

#include "upload/stkstep.h"

#include <QAbstractSocket>
#include <QDebug>

namespace {
constexpr int kHandshakeWaitMs = 1000;
// The module answers each AT command with at least this much ("OK").
constexpr int kMinimumAtReply = 2;

const char kClientCommand[] = "AT+U2W=CLIENT\r\n";
const char kUpdateUnoCommand[] = "AT+MCUUPDATE=UNO";
const char kUpdateMegaCommand[] = "AT+MCUUPDATE=MEGA";
} // namespace

const char *updateCommand(AtFamily family)
{
    return family == AtFamily::Mega ? kUpdateMegaCommand : kUpdateUnoCommand;
}

AtHandshakeResult moduleHandshake(QAbstractSocket *at, AtFamily family)
{
    AtHandshakeResult result;
    char reply[kMaxReadBytes];
    writeCommand(at, QByteArray(kClientCommand));
    waitForData(at, kHandshakeWaitMs);
    if (at->read(reply, kMaxReadBytes) < kMinimumAtReply) {
        result.failure = QStringLiteral("the module did not answer AT+U2W=CLIENT");
        return result;
    }

    qDebug() << "protocol =" << (family == AtFamily::Mega ? 1 : 0);
    writeCommand(at, QByteArray(updateCommand(family)));
    waitForData(at, kHandshakeWaitMs);
    const qint64 count = at->read(reply, kMaxReadBytes);
    const QByteArray answer(reply, static_cast<int>(qMax<qint64>(count, 0)));
    qDebug() << "read client reply =" << answer;
    if (count < kMinimumAtReply) {
        result.failure =
            QStringLiteral("the module did not answer %1").arg(QLatin1String(updateCommand(family)));
        QObject::disconnect(at, nullptr, nullptr, nullptr);
        at->close();
        return result;
    }
    result.ok = true;
    return result;
}
