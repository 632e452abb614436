#pragma once

#include <QtCore/qnamespace.h>

// Names that the window, the command-line tool and the stand-ins share.

// The flat image every conversion writes and every upload reads, relative to
// the working directory.
constexpr char kImagePath[] = "./update.bin";

// Modules announce themselves to this UDP port.
constexpr quint16 kAnnouncementPort = 3333;

// How long a connection to one of a module's TCP ports may take to open.
constexpr int kModuleConnectTimeoutMs = 3000;

// The columns of a device table row.
enum DeviceColumn {
    NameColumn = 0,
    DeviceColumn = 1,
    IpColumn = 2,
    DataPortColumn = 3,
    AtPortColumn = 4,
    SendColumn = 5,
    ProgressColumn = 6,
    DeviceColumnCount = 7,
};

// The Name cell keeps, under this role, the name last announced or sent, to
// put back when an edit is refused.
constexpr int kSentNameRole = Qt::UserRole;
