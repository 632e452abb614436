#pragma once

#include "discovery/announcement.h"

#include <QHash>
#include <QString>

#include <deque>
#include <functional>

// Modules remembered while heard only once and the list was full: a flood of
// one-shot senders churns through them, a module that announces itself every
// second is heard again long before it is forgotten (at 500 new senders a
// second this holds about 4 s of them).
constexpr int kMaxWaitingModules = 2048;

// Which modules a bounded list keeps (the window's rows, the command line's
// list). While there is room every module heard is listed. When the list is
// full, a module heard again takes the place of the listed one heard the
// fewest times, the one listed longest first; a module heard once waits, so
// one-shot senders cannot push out modules that keep announcing. Memory is
// bounded by the list and the waiting modules.
class ModuleAdmission
{
public:
    enum class Outcome {
        Known, // listed already: heard once more
        Added, // listed now, there was room
        Displacing, // listed now in place of `displaced`
        Waiting, // not listed: the list is full and the module was heard only once
    };
    struct Decision
    {
        Outcome outcome = Outcome::Waiting;
        QString displaced;

        bool listed() const { return outcome != Outcome::Waiting; }
    };

    explicit ModuleAdmission(int capacity = kMaxListedModules,
                             int waitingCapacity = kMaxWaitingModules);

    // One announcement of the module at `address`. `mayDisplace` may keep a
    // listed module in place (one being uploaded to, say); none when empty.
    Decision heard(const QString &address,
                   const std::function<bool(const QString &)> &mayDisplace = {});
    // A listed module left the list (it fell silent).
    void remove(const QString &address);
    // One more liveness period has passed: a waiting module heard before the
    // last `periods` of them is forgotten, so "heard again" means within the
    // liveness window.
    void age(int periods);

    bool isListed(const QString &address) const { return listed.contains(address); }
    int listedCount() const { return int(listed.size()); }
    int waitingCount() const { return int(waiting.size()); }

private:
    struct Listed
    {
        int timesHeard = 1;
        quint64 since = 0; // when it was listed, in announcements counted
    };
    struct Waiting
    {
        quint64 since = 0; // when it was heard, in announcements counted
        int period = 0;
    };

    void wait(const QString &address);
    void forgetOldestWaiting();

    int capacity;
    int waitingCapacity;
    quint64 announcements = 0;
    int period = 0;
    QHash<QString, Listed> listed;
    QHash<QString, Waiting> waiting;
    // The waiting modules, oldest first; an entry whose stamp no longer
    // matches (the module was listed or heard anew) is skipped.
    std::deque<std::pair<QString, quint64>> waitingOrder;
};
