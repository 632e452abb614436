#pragma once

// The columns of a device table row.
enum DeviceColumn {
    NameColumn = 0,
    DeviceColumn = 1,
    IpColumn = 2,
    DataPortColumn = 3,
    AtPortColumn = 4,
    SendColumn = 5,
    ProgressColumn = 6,
};
