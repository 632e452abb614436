#include "atcommandparser.h"

namespace {
const QByteArray kClient = QByteArrayLiteral("AT+U2W=CLIENT");
const QByteArray kUpdateUno = QByteArrayLiteral("AT+MCUUPDATE=UNO");
const QByteArray kUpdateMega = QByteArrayLiteral("AT+MCUUPDATE=MEGA");
const QByteArray kHostname = QByteArrayLiteral("AT+HOSTNAME=");
const QByteArray kNextCommand = QByteArrayLiteral("AT+");
// A sender that never ends its text must not make the buffer grow forever.
constexpr int kMaxPendingBytes = 4096;

bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool isFiller(char c)
{
    return isLineEnd(c) || c == ' ' || c == '\0';
}

// Where the text that starts at `from` ends: at a line end or at the next
// "AT+"; -1 when neither has arrived yet.
int endOfText(const QByteArray &buffer, int from)
{
    int end = -1;
    for (int i = from; i < buffer.size(); ++i) {
        if (isLineEnd(buffer.at(i))) {
            end = i;
            break;
        }
    }
    const int next = buffer.indexOf(kNextCommand, from);
    if (next >= 0 && (end < 0 || next < end))
        end = next;
    return end;
}
} // namespace

void AtCommandParser::append(const QByteArray &bytes)
{
    buffer.append(bytes);
}

QList<AtCommandParser::Command> AtCommandParser::take(bool flush)
{
    QList<Command> commands;
    Command command;
    while (takeOne(flush || buffer.size() > kMaxPendingBytes, &command))
        commands.append(command);
    return commands;
}

bool AtCommandParser::takeOne(bool flush, Command *command)
{
    int start = 0;
    while (start < buffer.size() && isFiller(buffer.at(start)))
        ++start;
    buffer.remove(0, start);
    if (buffer.isEmpty())
        return false;

    *command = Command();
    const struct
    {
        const QByteArray &text;
        Kind kind;
    } fixed[] = { { kClient, Kind::Client },
                  { kUpdateUno, Kind::UpdateUno },
                  { kUpdateMega, Kind::UpdateMega } };
    for (const auto &known : fixed) {
        if (buffer.startsWith(known.text)) {
            command->kind = known.kind;
            command->text = known.text;
            buffer.remove(0, known.text.size());
            return true;
        }
        if (!flush && known.text.startsWith(buffer))
            return false; // the rest of a known command is still on its way
    }

    const bool hostname = buffer.startsWith(kHostname);
    if (!hostname && !flush && kHostname.startsWith(buffer))
        return false;
    int end = endOfText(buffer, hostname ? kHostname.size() : 1);
    if (end < 0) {
        if (!flush)
            return false;
        end = buffer.size();
    }
    command->text = buffer.left(end);
    if (hostname) {
        command->kind = Kind::Hostname;
        command->argument = command->text.mid(kHostname.size());
    }
    buffer.remove(0, end);
    return true;
}
