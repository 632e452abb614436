#pragma once

#include "upload/athandshake.h"

#include <QByteArray>
#include <QString>

class QIODevice;
class QTcpSocket;

// Opening a module for the bootloader: its data port, then its AT port, each
// within kModuleConnectTimeoutMs; the AT handshake that resets the board; and
// what the board's program still had on its way taken off the data port.
// Shared by the upload worker and the command line's proxy, which word the
// failures each their own way.
struct ModuleOpening
{
    enum class Failure { None, DataPort, AtPort, Handshake };
    Failure failed = Failure::None;
    // The handshake's outcome, once both ports are connected.
    AtHandshakeResult handshake;
    // The end of what was drained off the data port after the reset.
    QByteArray stray;

    bool ok() const { return failed == Failure::None; }
};

// Runs every step on the two sockets given (unconnected), stopping at the
// first that fails; a socket that failed to connect tells why itself.
ModuleOpening openModule(QTcpSocket *data, QTcpSocket *at, const QString &host, quint16 dataPort,
                         quint16 atPort, AtFamily family);

// The board's program may have sent things before the reset that are still
// on their way after the handshake (held in the module's bridge): they are
// taken in until the data connection is quiet, and their last
// kDrainTailBytes returned, for diagnostics; the rest is dropped.
constexpr int kDrainTailBytes = 4096;
QByteArray drainResetOutput(QIODevice *data);
