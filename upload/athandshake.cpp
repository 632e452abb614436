#include "upload/athandshake.h"

#include "upload/stkstep.h"
#include "upload/uploadlog.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QDebug>

namespace {
constexpr int kHandshakeWaitMs = 1000;
// What a module answers to a command it does not carry out.
constexpr char kAtError[] = "ERROR";
// An answer is a word or two; a port that sends more is not waited on for
// the rest of it.
constexpr int kLongestAnswerWaitedFor = 256;

const char kClientCommand[] = "AT+U2W=CLIENT\r\n";
const char kUpdateUnoCommand[] = "AT+MCUUPDATE=UNO";
const char kUpdateMegaCommand[] = "AT+MCUUPDATE=MEGA";

// An answer of two bytes or more is whole unless what is still to come could
// make it ERROR ("ER" of "ERROR\r\n" may come in a piece of its own).
bool isWhole(const QByteArray &answer)
{
    const AtReply verdict = judgeAtReply(answer);
    return verdict == AtReply::Error
        || (verdict == AtReply::Answered && !atReplyMayTurnToError(answer));
}

// Pieces summed until the answer is whole (or the wait is over), then
// whatever else of it is already there, so that its tail is not taken for
// the next answer.
QByteArray readAnswer(QAbstractSocket *at)
{
    QByteArray answer;
    const QDeadlineTimer deadline(kHandshakeWaitMs);
    while (!isWhole(answer) && answer.size() < kLongestAnswerWaitedFor) {
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
    switch (judgeAtReply(answer)) {
    case AtReply::Refused:
        return QStringLiteral("the module refused the handshake: it answered %1 with the single "
                              "byte %2")
            .arg(QLatin1String(command), QString::fromLatin1(answer.toHex().toUpper()));
    case AtReply::Error:
        return QStringLiteral("the module refused the handshake: it answered %1 with ERROR")
            .arg(QLatin1String(command));
    case AtReply::Answered:
    case AtReply::Silent:
        break;
    }
    return QStringLiteral("the module did not answer %1").arg(QLatin1String(command));
}

bool isRefusal(AtReply verdict)
{
    return verdict == AtReply::Refused || verdict == AtReply::Error;
}
} // namespace

AtReply judgeAtReply(const QByteArray &reply)
{
    if (reply.toUpper().contains(kAtError))
        return AtReply::Error;
    if (reply.size() >= kMinimumAtReply)
        return AtReply::Answered;
    return reply.isEmpty() ? AtReply::Silent : AtReply::Refused;
}

bool atReplyMayTurnToError(const QByteArray &reply)
{
    if (reply.trimmed().isEmpty())
        return true;
    if (reply.endsWith('\n'))
        return false;
    const QByteArray lastLine = reply.mid(reply.lastIndexOf('\n') + 1).trimmed().toUpper();
    return lastLine.size() < int(sizeof kAtError) - 1 && QByteArray(kAtError).startsWith(lastLine);
}

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
        result.refused = isRefusal(judgeAtReply(first));
        result.failure = failureOf(first, "AT+U2W=CLIENT");
        return result;
    }

    qCDebug(lcUpload) << "protocol =" << (family == AtFamily::Mega ? 1 : 0);
    writeCommand(at, QByteArray(updateCommand(family)));
    const QByteArray answer = readAnswer(at);
    qCDebug(lcUpload) << "read client reply =" << answer;
    if (judgeAtReply(answer) != AtReply::Answered) {
        result.refused = isRefusal(judgeAtReply(answer));
        result.failure = failureOf(answer, updateCommand(family));
        QObject::disconnect(at, nullptr, nullptr, nullptr);
        at->close();
        return result;
    }
    result.ok = true;
    return result;
}
