#pragma once

#include <QtCore/qnamespace.h>

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
