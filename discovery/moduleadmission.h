#pragma once

#include "discovery/announcement.h"

#include <QHash>
#include <QString>

#include <functional>
#include <vector>

// Slots of the table that remembers modules not listed. A flood of N new
// addresses a second leaves a waiting module in its slot for one second with
// the chance e^(-N / slots): 98 % at 20,000 a second. Two bytes a slot.
constexpr int kWaitingSlots = 1 << 20;
// The window's refresh tick, the period admission counts in; the command
// line's listener keeps the same pace, and remembers a module not listed for
// as many periods as the window (the 6 to 8 s a silent row stays).
constexpr int kAdmissionPeriodMs = 2000;
constexpr int kRememberedPeriods = 4;

// Which modules a bounded list keeps (the window's rows, the command line's
// list). While there is room every module heard is listed. Time runs in
// periods (the window's refresh ticks), and a module counts once per period
// however often it repeats itself within one.
//
// When the list is full, a module heard in two periods takes the place of a
// listed one that was heard in one period only, or that was silent for a
// whole period: the one heard in the fewest periods, then the one silent
// longest. So a listed module that keeps announcing itself, once heard in two
// periods, never gives way.
//
// Modules not listed are remembered by sampling: each address owns one slot
// of a fixed table, picked by a hash keyed with a secret random key, and takes
// it from whoever held it. A flood at any rate replaces the modules waiting
// at random, whatever their order, and repeating an address takes no more
// than its own slot. Memory is the list plus that table.
class ModuleAdmission
{
public:
    enum class Outcome {
        Known, // listed already: heard once more
        Added, // listed now, there was room
        Displacing, // listed now in place of `displaced`
        Waiting, // not listed: the list is full and the module was not heard in two periods
    };
    struct Decision
    {
        Outcome outcome = Outcome::Waiting;
        QString displaced;

        bool listed() const { return outcome != Outcome::Waiting; }
    };

    // `key` picks the slots; a random one unless given (tests repeat with it).
    explicit ModuleAdmission(int capacity = kMaxListedModules, int waitingSlots = kWaitingSlots,
                             quint64 key = 0);

    // One announcement of the module at `address`. `mayDisplace` may keep a
    // listed module in place (one being uploaded to, say); none when empty.
    Decision heard(const QString &address,
                   const std::function<bool(const QString &)> &mayDisplace = {});
    // A listed module left the list (it fell silent).
    void remove(const QString &address);
    // One more period has passed: a module not listed is remembered for the
    // last `periods` of them, so "heard in two periods" means within the
    // liveness window.
    void age(int periods);

    bool isListed(const QString &address) const { return listed.contains(address); }
    int listedCount() const { return int(listed.size()); }
    // Modules remembered while not listed (counts the table: for tests).
    int waitingCount() const;

private:
    struct Listed
    {
        int periodsHeard = 1;
        int lastPeriod = 0;
        // When it was last heard, in announcements counted.
        quint64 lastHeard = 0;
    };
    // A slot: the address's tag in the high bits, the period it was last
    // heard in (modulo kStampPeriods) in the low ones; 0 is empty.
    struct Slot
    {
        quint16 *slot;
        quint16 tag;
    };
    static constexpr int kStampBits = 5;
    static constexpr int kStampPeriods = 1 << kStampBits;

    Slot slotOf(const QString &address);
    // Periods since the module with that tag was last heard, by its slot's
    // value; -1 when it is not there or forgotten.
    int periodsSince(quint16 slot, quint16 tag) const;
    static void remember(const Slot &slot, int heardIn);
    QString victim(const std::function<bool(const QString &)> &mayDisplace) const;

    int capacity;
    quint64 key[2];
    quint64 announcements = 0;
    int period = 0;
    int rememberedPeriods = kStampPeriods - 1;
    QHash<QString, Listed> listed;
    std::vector<quint16> waiting;
};
