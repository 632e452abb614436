#include "upload/stkstep.h"

#include "upload/uploadlog.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QThread>

namespace {
// A stop request is noticed within this time while a socket is waited on.
constexpr int kWaitSliceMs = 50;

bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

void logSend(const StkCommand &command)
{
    if (command.sendLabel)
        qCDebug(lcUpload) << command.sendLabel << command.bytes.toHex(' ') << command.bytes.size();
}
} // namespace

QString hexByte(quint8 value)
{
    return QStringLiteral("0x")
        + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString lengthReason(int size, int expected)
{
    return QStringLiteral("a reply of %1 bytes where %2 were due").arg(size).arg(expected);
}

QByteArray commandBytes(std::initializer_list<quint8> values)
{
    QByteArray bytes;
    bytes.reserve(static_cast<int>(values.size()));
    for (quint8 value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

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

QDeadlineTimer replyBudget(const StkCommand &command)
{
    return QDeadlineTimer(static_cast<qint64>(command.tries) * command.waitMs);
}

bool collectReply(QIODevice *device, int expected, int tries, int waitMs, const char *label,
                  const QByteArray &detail, QByteArray *reply, ReplyEnd end,
                  const QDeadlineTimer *budget)
{
    const QDeadlineTimer deadline
        = budget ? *budget : QDeadlineTimer(static_cast<qint64>(tries) * waitMs);
    qint64 total = 0;
    char piece[kMaxReadBytes];
    const auto debugLine = [&](qint64 count) {
        if (!label)
            return;
        const QByteArray hex = QByteArray(piece, static_cast<int>(count)).toHex(' ');
        if (detail.isEmpty())
            qCDebug(lcUpload) << label << hex << "len=" << total;
        else
            qCDebug(lcUpload) << label << detail << hex << "len=" << total;
    };
    // Every read that brings bytes brings the total closer to `expected`, and
    // every one that brings none has used up a wait: the loop is bounded both
    // in rounds and in time.
    int emptyRounds = 0;
    while (emptyRounds < tries && total < expected) {
        const qint64 remaining = deadline.remainingTime();
        if (remaining == 0)
            break;
        waitForData(device, static_cast<int>(qMin<qint64>(remaining, waitMs)));
        const qint64 count
            = qMax<qint64>(device->read(piece, qMin<qint64>(kMaxReadBytes, expected - total)), 0);
        total += count;
        if (reply)
            reply->append(piece, static_cast<int>(count));
        debugLine(count);
        if (count == 0)
            ++emptyRounds;
        if (stopRequested())
            return false;
    }
    if (total != expected)
        return false;
    if (end == ReplyEnd::Followed || device->bytesAvailable() <= 0)
        return true;
    // More than the reply: take it in, so that the judging sees it.
    const qint64 count = qMax<qint64>(device->read(piece, kMaxReadBytes), 0);
    total += count;
    if (reply)
        reply->append(piece, static_cast<int>(count));
    debugLine(count);
    return false;
}

void sendCommand(QIODevice *device, const StkCommand &command)
{
    logSend(command);
    writeCommand(device, command.bytes);
}

StepResult awaitReply(QIODevice *device, const StkCommand &command, ReplyEnd end,
                      const QDeadlineTimer &budget)
{
    StepResult result;
    const bool complete
        = collectReply(device, command.expected, command.tries, command.waitMs, command.replyLabel,
                       command.detail, &result.reply, end, &budget);
    const ReplyVerdict verdict = command.judge
        ? command.judge(command.bytes, result.reply, command.expected)
        : ReplyVerdict { true, QString() };
    result.ok = complete && verdict.ok;
    if (!result.ok)
        result.reason = verdict.ok ? QStringLiteral("no whole reply in time") : verdict.reason;
    if (!complete) {
        const auto *socket = qobject_cast<QAbstractSocket *>(device);
        result.connectionClosed = socket && socket->state() != QAbstractSocket::ConnectedState;
    }
    return result;
}

StepResult transact(QIODevice *device, const StkCommand &command)
{
    sendCommand(device, command);
    return awaitReply(device, command, ReplyEnd::Alone, replyBudget(command));
}

QList<StepResult> transactTogether(QIODevice *device, const QList<StkCommand> &commands)
{
    QByteArray bytes;
    for (const StkCommand &command : commands) {
        logSend(command);
        bytes += command.bytes;
    }
    writeCommand(device, bytes);
    // Every budget counts from the one write.
    QList<QDeadlineTimer> budgets;
    for (const StkCommand &command : commands)
        budgets.append(replyBudget(command));
    QList<StepResult> results;
    for (int i = 0; i < commands.size(); ++i) {
        results.append(awaitReply(device, commands.at(i),
                                  i + 1 < commands.size() ? ReplyEnd::Followed : ReplyEnd::Alone,
                                  budgets.at(i)));
        if (!results.last().ok)
            break;
    }
    return results;
}
