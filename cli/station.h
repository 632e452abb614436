#pragma once

#include "cli/options.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// rudireze-cli station: flashes every module that announces itself, each
// once per arrival, several at a time, until stopped.
int runStation(const Options &options);

// A module not heard for this long has left the bench; when it announces
// itself again it is a new board. The window drops a silent module's row
// after 6 to 8 seconds.
constexpr int kStationGoneAfterMs = 6000;

// Whether a module name matches one of the shell-style patterns (*, ?,
// [...]); no patterns match every name.
bool stationNameMatches(const QStringList &patterns, const QString &name);

// One line of the station's CSV log, without its line end; fields that hold
// a comma, a quote or a line break are quoted, as RFC 4180 has it.
QString stationCsvLine(const QStringList &fields);
// The log's first line.
QString stationCsvHeader();
