#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"

#include <QBitArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// rudireze-cli station: flashes every module that announces itself, each
// once per arrival, several at a time, until stopped.
extern const CommandEntry kStationCommand;
int runStation(const Options &options);

// A module not heard for this long has left the bench; when it announces
// itself again it is a new board. The window drops a silent module's row
// after 6 to 8 seconds.
constexpr int kStationGoneAfterMs = 6000;

// Modules waiting for a free place, at most this many of those heard once and
// as many again of those heard in two periods (RecentAddresses); beyond that
// a newcomer takes the place of one picked at random.
constexpr int kStationWaitingCapacity = 256;

// Which addresses were heard in the previous period as well as in this one,
// in the same space however many senders there are: one set of bits per
// period, each address setting kHashes of them, h1 + i * h2 with h1 and h2
// the halves of one keyed hash of it (a sender cannot aim at another's
// bits). A false "heard before" is rare and only lets a module go first.
class RecentAddresses
{
public:
    static constexpr int kPeriodMs = 2000;

    // `key` keys the hash; a random one unless given (tests repeat with it).
    explicit RecentAddresses(quint64 key = 0);
    // Notes the address as heard at `nowMs` (a steady clock); true when it
    // was heard in the period before too. Repeats within a period count once.
    bool heard(const QString &address, qint64 nowMs);

private:
    // 256 KiB a period: at 20,000 new senders a second, one of them or so
    // a period passes for one heard before.
    static constexpr int kBits = 1 << 21;
    static constexpr int kHashes = 4;

    QBitArray current;
    QBitArray previous;
    qint64 period = 0;
    quint64 key[2] = {};
};

// Whether a module name matches one of the shell-style patterns (*, ?,
// [...]); no patterns match every name.
bool stationNameMatches(const QStringList &patterns, const QString &name);

// One line of the station's CSV log, without its line end. A field that a
// spreadsheet would take for a formula (it starts with =, +, -, @, a tab or a
// carriage return) gets a "'" in front, control characters are escaped as
// \xHH, and fields that hold a comma or a quote are quoted, as RFC 4180 has it.
QString stationCsvLine(const QStringList &fields);
// The log's first line.
QString stationCsvHeader();
