#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

#include <initializer_list>

class QIODevice;

// AVR flash addresses count 16-bit words.
constexpr int kBytesPerWord = 2;
// An AVR part's signature: maker, flash size, part.
constexpr int kSignatureBytes = 3;

// A protocol byte and its name in the protocol's documents.
struct ByteName
{
    quint8 value;
    const char *name;
};

// The name the list gives the value, or nullptr.
template<size_t N> const char *nameOf(const ByteName (&names)[N], quint8 value)
{
    for (const ByteName &entry : names) {
        if (entry.value == value)
            return entry.name;
    }
    return nullptr;
}

// The name the list gives the command byte at `at` of a command, for
// messages that say where an upload stopped.
template<size_t N> QString stepNameOf(const ByteName (&names)[N], const QByteArray &bytes, int at)
{
    if (bytes.size() <= at)
        return QStringLiteral("empty command");
    const auto command = static_cast<quint8>(bytes.at(at));
    const char *name = nameOf(names, command);
    return name ? QString::fromLatin1(name)
                : QStringLiteral("command 0x%1").arg(command, 2, 16, QLatin1Char('0'));
}

// "0x1B", for messages.
QString hexByte(quint8 value);
// "0x14 (Resp_STK_INSYNC)": the byte with its name where the list has one.
template<size_t N> QString namedByte(const ByteName (&names)[N], quint8 value)
{
    const char *name = nameOf(names, value);
    return name ? hexByte(value) + QStringLiteral(" (") + QLatin1String(name) + QLatin1Char(')')
                : hexByte(value);
}
// Why a reply of `size` bytes is refused where `expected` were due.
QString lengthReason(int size, int expected);

// What a judge says of a reply.
struct ReplyVerdict
{
    bool ok = false;
    // Why the reply is refused, for messages; empty when it is accepted.
    QString reason;
};

// Judges the content of a reply to the command sent as `command`; the
// protocol that builds a command gives it its own.
using ReplyJudge
    = ReplyVerdict (*)(const QByteArray &command, const QByteArray &reply, int expected);

// One STK500 request and how its reply is judged: the bootloaders behind the
// module answer every command with a reply of fixed length, whose content is
// then checked by the command's own judge.
struct StkCommand
{
    QByteArray bytes; // written in one piece
    int expected = 0; // exact reply length that accepts the step
    int tries = 0; // wait-and-read rounds
    int waitMs = 0; // longest wait of one round
    const char *replyLabel = nullptr; // debug label of every round; nullptr: no line
    const char *sendLabel = nullptr; // debug label written before sending; nullptr: no line
    QByteArray detail; // extra debug text after the reply label (a parameter id)
    ReplyJudge judge = nullptr; // the content's judge; nullptr: any content
};

// The bytes of a command as the protocol lists them.
QByteArray commandBytes(std::initializer_list<quint8> values);

// Most bytes taken from the device in one read.
constexpr int kMaxReadBytes = 100;

// Waits until the device has bytes to read, at most waitMs. A socket is waited
// on in short slices so that a thread asked to stop (QThread's interruption
// request) gives up at once; any other device is asked once.
bool waitForData(QIODevice *device, int waitMs);

// Writes the bytes and pushes them out of the device's buffer without blocking.
void writeCommand(QIODevice *device, const QByteArray &bytes);
// writeCommand for a step, with its send label written first when it has one.
void sendCommand(QIODevice *device, const StkCommand &command);

// Whether more replies follow on the line: commands written together are
// answered one after the other, so a reply then ends at its own length.
enum class ReplyEnd { Alone, Followed };

// The reply rule: reads (at most kMaxReadBytes each, never past `expected`)
// until exactly `expected` bytes have arrived, however many pieces carried
// them. A reply that is alone and has more bytes behind it fails at once;
// otherwise the step fails when its budget (`tries` x waitMs from the
// command's write; default: from now) is spent or `tries` waits brought
// nothing. The debug line is written for every read. When `reply` is given it
// receives every byte read.
bool collectReply(QIODevice *device, int expected, int tries, int waitMs, const char *label,
                  const QByteArray &detail = QByteArray(), QByteArray *reply = nullptr,
                  ReplyEnd end = ReplyEnd::Alone, const QDeadlineTimer *budget = nullptr);

// The budget of a step whose command is written now.
QDeadlineTimer replyBudget(const StkCommand &command);

// What one step came to.
struct StepResult
{
    bool ok = false;
    // Why it failed (the length or the content of the reply); empty on success.
    QString reason;
    QByteArray reply;
    // The reply stayed short because the other side closed the connection.
    bool connectionClosed = false;
};

// collectReply with the command's own rule (its budget given), and the reply
// judged by its content.
StepResult awaitReply(QIODevice *device, const StkCommand &command, ReplyEnd end,
                      const QDeadlineTimer &budget);

// sendCommand, then awaitReply.
StepResult transact(QIODevice *device, const StkCommand &command);

// The commands in one write, then their replies judged in order; judging
// stops at the first that fails, which is the last result returned.
QList<StepResult> transactTogether(QIODevice *device, const QList<StkCommand> &commands);
