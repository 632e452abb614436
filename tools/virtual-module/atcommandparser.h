#pragma once

#include <QByteArray>
#include <QList>

// Splits what arrives on a module's AT port into commands. Uploaders send
// some commands without a line end, so commands are told apart by their
// known texts; only the name of AT+HOSTNAME= has no known end and runs to a
// line end, to the next "AT+", or to the end of the data when the sender
// falls silent (take with flush).
class AtCommandParser
{
public:
    enum class Kind { Client, UpdateUno, UpdateMega, Hostname, Unknown };
    struct Command
    {
        Kind kind = Kind::Unknown;
        QByteArray text; // the command as received, without its line end
        QByteArray argument; // the name of AT+HOSTNAME=
    };

    void append(const QByteArray &bytes);
    // The commands complete so far; with flush, a trailing unfinished text
    // is taken too (as a name, or as an unknown command).
    QList<Command> take(bool flush);
    bool hasPending() const { return !buffer.isEmpty(); }

private:
    bool takeOne(bool flush, Command *command);

    QByteArray buffer;
};
