#pragma once

#include "upload/athandshake.h"

#include <QString>
#include <QVector>

// Which STK500 generation a board's bootloader speaks.
enum class StkVersion { V1, V2 };

// One board type as the user picks it, and what it means for an upload.
struct Board
{
    const char *name; // as shown in the Device box and taken on the command line
    StkVersion protocol;
    int flashSize; // the part's whole flash, in bytes
    // The flash below the bootloader as the board ships, in bytes: the
    // largest image it takes. A longer one would reach into the boot section,
    // where the lock bits either drop the bytes unwritten or let them destroy
    // the bootloader.
    int applicationSize;
    int pageSize; // flash page, in bytes
    AtFamily resetFamily; // which "AT+MCUUPDATE=" command resets it
    // The three signature bytes its bootloader must report; nullptr: not checked.
    const char *signature;
    // Whether its bootloader advances the flash address after each page, so
    // consecutive pages need no load-address command of their own.
    bool addressAdvances;
};

// Every board type, in the order of the Device box (the first is the default).
const QVector<Board> &boards();

// The board of that exact name (the window's comparison), or nullptr.
const Board *boardNamed(const QString &name);
// The board whose name matches regardless of letter case (the command line's).
const Board *boardNamedIgnoringCase(const QString &name);
