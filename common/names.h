#pragma once

#include <QtGlobal>

// Names that several libraries share: the window, the command-line tool and
// the subsystems below them.

// The flat image every conversion writes and the window reads when Upload is
// pressed, relative to the working directory.
constexpr char kImagePath[] = "./update.bin";

// Modules announce themselves to this UDP port.
constexpr quint16 kAnnouncementPort = 3333;

// How long a connection to one of a module's TCP ports may take to open.
constexpr int kModuleConnectTimeoutMs = 3000;
