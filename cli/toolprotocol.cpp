#include "cli/toolprotocol.h"

#include <QJsonDocument>
#include <QRegularExpression>

QByteArray jsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void ToolProtocol::receive(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        if (byte == '\n') {
            const QByteArray line = pending.trimmed();
            if (!discarding && !line.isEmpty())
                command(line);
            pending.clear();
            discarding = false;
        } else if (discarding) {
            continue;
        } else if (pending.size() >= kMaxCommandBytes) {
            pending.clear();
            discarding = true;
            reply("command_error",
                  QStringLiteral("Command longer than %1 bytes").arg(kMaxCommandBytes));
        } else {
            pending += byte;
        }
    }
}

std::optional<QByteArray> ToolProtocol::takeOutput()
{
    if (replies.empty())
        return std::nullopt;
    const QByteArray line = replies.front();
    replies.pop_front();
    return line;
}

void ToolProtocol::reply(const char *eventType, const QString &error, const char *ok)
{
    QJsonObject object { { QStringLiteral("eventType"), QLatin1String(eventType) } };
    if (error.isEmpty()) {
        object.insert(QStringLiteral("message"), QLatin1String(ok));
    } else {
        object.insert(QStringLiteral("error"), true);
        object.insert(QStringLiteral("message"), error);
    }
    send(object);
}

void ToolProtocol::send(const QJsonObject &object)
{
    replies.push_back(jsonLine(object));
}

bool ToolProtocol::hello(const QByteArray &line, bool alreadyReceived)
{
    static const QRegularExpression syntax(QStringLiteral("^HELLO (\\d{1,9}) \"([^\"]*)\"$"));
    if (!syntax.match(QString::fromUtf8(line)).hasMatch()) {
        reply("command_error",
              QStringLiteral("Invalid HELLO command: HELLO <PROTOCOL_VERSION> \"<USER_AGENT>\""));
        return false;
    }
    if (alreadyReceived) {
        reply("hello", QStringLiteral("HELLO was already received"));
        return false;
    }
    send(QJsonObject { { QStringLiteral("eventType"), QStringLiteral("hello") },
                       { QStringLiteral("protocolVersion"), kProtocolVersion },
                       { QStringLiteral("message"), QStringLiteral("OK") } });
    return true;
}

void ToolProtocol::unknownCommand(const QByteArray &line)
{
    reply("command_error", QStringLiteral("Unknown command ") + QString::fromUtf8(line));
}
