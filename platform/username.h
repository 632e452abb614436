#pragma once

#include <QString>

// The login name of the user the process runs as; empty when it cannot be had.
QString loginUserName();
