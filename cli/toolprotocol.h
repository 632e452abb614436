#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <deque>
#include <optional>

// What the IDE's pluggable tools (discovery, monitor) share: commands as
// lines on standard input, each answered at once with one JSON line on
// standard output; HELLO names the protocol version. Without I/O: bytes go
// in, lines come out.
class ToolProtocol
{
public:
    static constexpr int kProtocolVersion = 1;
    // A command is a few dozen bytes; a longer line is refused unread.
    static constexpr int kMaxCommandBytes = 1024;

    virtual ~ToolProtocol() = default;

    // Bytes from the client: every whole line that holds more than blanks
    // is one command.
    void receive(const QByteArray &bytes);
    // One command, without the blanks around it (a Windows client ends its
    // lines with "\r\n").
    virtual void command(const QByteArray &line) = 0;

    // The next JSON line to send (with its "\n"), or nothing.
    virtual std::optional<QByteArray> takeOutput();
    virtual bool hasOutput() const { return !replies.empty(); }

protected:
    // {"eventType", "message": ok} or {"eventType", "error": true, "message"}.
    void reply(const char *eventType, const QString &error = QString(), const char *ok = "OK");
    void send(const QJsonObject &object);
    // Answers HELLO: true when it is well formed and the first
    // (`alreadyReceived` false), and the client is told the version. Version
    // 1 is the only one there is, so a client that supports a later one falls
    // back to it and one that names an earlier one learns it.
    bool hello(const QByteArray &line, bool alreadyReceived);
    void unknownCommand(const QByteArray &line);

    std::deque<QByteArray> replies;

private:
    QByteArray pending; // an unfinished command line
    bool discarding = false; // the rest of a line that was too long
};

// The JSON object as one line.
QByteArray jsonLine(const QJsonObject &object);

// How both tools end, as their help says.
constexpr char kToolExitStatusHelp[] = "\nExit status: 0 after QUIT or when standard input ends, ";
