#pragma once

#include "common/names.h"

#include <QByteArray>
#include <QString>

// How long a rename may block the caller: connecting to the module's AT port
// (kModuleConnectTimeoutMs), then waiting for its answer to the command.
constexpr int kRenameReplyTimeoutMs = 1000;
// The module's reply is read into a buffer of this size and otherwise ignored.
constexpr int kRenameReplyBufferSize = 100;

// Longer names are refused; modules keep names of this size.
constexpr int kMaxHostNameLength = 32;

// Why a name must not be sent, or an empty text when it may: the module reads
// its AT commands from the same stream as the name, so a line end or "AT+"
// inside a name would run a command of the sender's choosing (even reset the
// board), and a control character could end the name early.
QString hostNameProblem(const QString &name);

// The bytes that rename a module: "AT+HOSTNAME=" and the name in Latin-1
// (a character outside Latin-1 becomes "?"), with no line end.
QByteArray hostNameCommand(const QString &name);

// One blocking rename exchange over a connection of its own, released before
// returning. `host` must be an address literal: a name would need a lookup
// that no time limit bounds. Returns false when no connection was made within
// kModuleConnectTimeoutMs; nothing is sent then. The reply is not judged.
bool sendHostName(const QString &host, quint16 port, const QString &name);
