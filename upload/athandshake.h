#pragma once

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

// The second command's text for the family.
const char *updateCommand(AtFamily family);
