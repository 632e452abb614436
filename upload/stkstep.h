#pragma once

#include <QByteArray>

class QIODevice;

// One STK500 request and how its reply is judged. Both protocol versions are
// judged by reply length alone: the bootloaders behind the module answer every
// command with a fixed-size reply, and its content is never examined.
struct StkCommand
{
    QByteArray bytes;              // written in one piece
    int expected = 0;              // exact reply length that accepts the step
    int tries = 0;                 // wait-and-read rounds
    int waitMs = 0;                // longest wait of one round
    const char *replyLabel = nullptr; // debug label of every round; nullptr: no line
    const char *sendLabel = nullptr;  // debug label written before sending; nullptr: no line
    QByteArray detail;             // extra debug text after the reply label (a parameter id)
};

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

// The reply rule: up to `tries` rounds, each waiting at most waitMs and then
// reading at most kMaxReadBytes; the step is accepted as soon as the running
// total equals `expected` exactly. More bytes than expected, or stray bytes
// ahead of the reply, never match. When `reply` is given it receives every
// byte read, for callers that look at the content (a read-back).
bool collectReply(QIODevice *device, int expected, int tries, int waitMs, const char *label,
                  const QByteArray &detail = QByteArray(), QByteArray *reply = nullptr);

// sendCommand followed by collectReply with the command's own rule.
bool transact(QIODevice *device, const StkCommand &command, QByteArray *reply = nullptr);
