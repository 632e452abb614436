#pragma once

#include <QByteArray>
#include <QString>

class QAbstractSocket;

// The module's AT exchange that resets the board into its bootloader and
// switches the data port to pass the STK500 traffic through: "AT+U2W=CLIENT\r\n",
// then "AT+MCUUPDATE=UNO" or "AT+MCUUPDATE=MEGA". Shared by the upload worker
// and the command line's proxy.
enum class AtFamily { Uno, Mega };

struct AtHandshakeResult
{
    bool ok = false;
    // The module answered, but with a single byte or with ERROR: it refused
    // the reset (as against staying silent).
    bool refused = false;
    // Why it failed, for messages; empty on success.
    QString failure;
};

// Runs the exchange on a connected AT socket. Each answer is read until it
// holds at least two bytes that cannot still turn into ERROR, however many
// pieces carry them, for at most 1000 ms. The socket stays open on success; after a refused second
// command it is closed.
AtHandshakeResult moduleHandshake(QAbstractSocket *at, AtFamily family);

// The module answers each AT command with at least two bytes, whatever they
// say, unless they say ERROR (in any letter case): that is a refusal, as a
// single byte is; nothing at all is silence.
enum class AtReply { Answered, Refused, Error, Silent };
constexpr int kMinimumAtReply = 2;
AtReply judgeAtReply(const QByteArray &reply);
// Whether bytes still to come could make ERROR of an answer that is not one
// yet: it holds nothing but blanks and line ends so far, or its unfinished
// last line is the start of "ERROR".
bool atReplyMayTurnToError(const QByteArray &reply);

// The second command's text for the family.
const char *updateCommand(AtFamily family);
