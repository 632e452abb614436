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
    // Why it failed, for messages; empty on success.
    QString failure;
};

// Runs the exchange on a connected AT socket. The socket stays open on
// success; after a refused second command it is closed.
AtHandshakeResult moduleHandshake(QAbstractSocket *at, AtFamily family);

// The second command's text for the family.
const char *updateCommand(AtFamily family);
