#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"

#include <QByteArray>
#include <QTime>

class QTcpSocket;

// The board's serial line through the module's data port: what the board
// sends is printed as it arrives, what is typed is sent line by line.

// Turns the board's bytes into the text printed: as they are, or as
// hexadecimal pairs (sixteen to a line, a new line after each line feed),
// each line started with the time when asked.
class MonitorFormat
{
public:
    static constexpr int kHexBytesPerLine = 16;

    MonitorFormat(bool timestamp, bool hex)
        : timestamp(timestamp)
        , hex(hex)
    {
    }
    QByteArray format(const QByteArray &bytes, const QTime &now);

private:
    bool timestamp = false;
    bool hex = false;
    bool lineStart = true;
    int hexColumn = 0;
};

// Whether a text was seen in a stream of bytes, across the borders of the
// pieces it arrives in.
class TextWatch
{
public:
    explicit TextWatch(const QByteArray &text)
        : text(text)
    {
    }
    // True once the text has been seen (always true for an empty text).
    bool feed(const QByteArray &bytes);
    bool seen() const { return found; }

private:
    QByteArray text;
    QByteArray tail;
    bool found = false;
};

// Typed input into the lines sent: each line without its "\n" (or "\r\n")
// followed by the chosen ending; an unfinished last line is sent at the end.
class LineSplitter
{
public:
    explicit LineSplitter(const QByteArray &ending)
        : ending(ending)
    {
    }
    QByteArray take(const QByteArray &bytes);
    QByteArray finish();

private:
    QByteArray ending;
    QByteArray pending;
};

// IP:DATAPORT, the connection's name in the monitor's messages.
QString monitorLabel(const Target &target);

// rudireze-cli monitor, and what upload --monitor takes of it.
extern const CommandEntry kMonitorCommand;
extern const Option kUntilOption;
extern const Option kEolOption;
extern const Option kTimestampOption;
extern const Option kHexOption;

int runMonitor(const Options &options);
// Goes on with a connection already open (taken over from an upload); takes
// ownership of the socket.
int runMonitorOn(QTcpSocket *socket, const QString &label, const Options &options);
