#include "upload/athandshake.h"

#include "upload/replyjudge.h"
#include "upload/stkstep.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QDebug>

namespace {
constexpr int kHandshakeWaitMs = 1000;

const char kClientCommand[] = "AT+U2W=CLIENT\r\n";
const char kUpdateUnoCommand[] = "AT+MCUUPDATE=UNO";
const char kUpdateMegaCommand[] = "AT+MCUUPDATE=MEGA";

// Pieces summed until the answer is long enough, then whatever else of it is
// already there, so that its tail is not taken for the next answer.
QByteArray readAnswer(QAbstractSocket *at)
{
    QByteArray answer;
    const QDeadlineTimer deadline(kHandshakeWaitMs);
    while (judgeAtReply(answer) != AtReply::Answered) {
        const qint64 remaining = deadline.remainingTime();
        if (remaining == 0 || !waitForData(at, static_cast<int>(remaining)))
            break;
        answer += at->read(kMaxReadBytes);
    }
    if (judgeAtReply(answer) == AtReply::Answered)
        answer += at->read(kMaxReadBytes);
    return answer;
}

QString failureOf(const QByteArray &answer, const char *command)
{
    if (judgeAtReply(answer) == AtReply::Refused)
        return QStringLiteral("the module refused the handshake: it answered %1 with the single "
                              "byte %2")
            .arg(QLatin1String(command), QString::fromLatin1(answer.toHex().toUpper()));
    return QStringLiteral("the module did not answer %1").arg(QLatin1String(command));
}
} // namespace

const char *updateCommand(AtFamily family)
{
    return family == AtFamily::Mega ? kUpdateMegaCommand : kUpdateUnoCommand;
}

AtHandshakeResult moduleHandshake(QAbstractSocket *at, AtFamily family)
{
    AtHandshakeResult result;
    writeCommand(at, QByteArray(kClientCommand));
    const QByteArray first = readAnswer(at);
    if (judgeAtReply(first) != AtReply::Answered) {
        result.refused = judgeAtReply(first) == AtReply::Refused;
        result.failure = failureOf(first, "AT+U2W=CLIENT");
        return result;
    }

    qDebug() << "protocol =" << (family == AtFamily::Mega ? 1 : 0);
    writeCommand(at, QByteArray(updateCommand(family)));
    const QByteArray answer = readAnswer(at);
    qDebug() << "read client reply =" << answer;
    if (judgeAtReply(answer) != AtReply::Answered) {
        result.refused = judgeAtReply(answer) == AtReply::Refused;
        result.failure = failureOf(answer, updateCommand(family));
        QObject::disconnect(at, nullptr, nullptr, nullptr);
        at->close();
        return result;
    }
    result.ok = true;
    return result;
}
