#pragma once

#include <QDateTime>
#include <QString>

// The last-write time of a file in UTC, or an invalid QDateTime when the
// file's attributes cannot be read.
QDateTime lastWriteTimeUtc(const QString &path);
