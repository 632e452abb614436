#include "discovery/moduleadmission.h"

#include <limits>

ModuleAdmission::ModuleAdmission(int capacity, int waitingCapacity)
    : capacity(capacity)
    , waitingCapacity(waitingCapacity)
{
}

ModuleAdmission::Decision
ModuleAdmission::heard(const QString &address,
                       const std::function<bool(const QString &)> &mayDisplace)
{
    ++announcements;
    Decision decision;
    const auto known = listed.find(address);
    if (known != listed.end()) {
        if (known->timesHeard < std::numeric_limits<int>::max())
            ++known->timesHeard;
        decision.outcome = Outcome::Known;
        return decision;
    }
    if (listed.size() < capacity) {
        waiting.remove(address);
        listed.insert(address, Listed { 1, announcements });
        decision.outcome = Outcome::Added;
        return decision;
    }
    if (!waiting.contains(address)) {
        wait(address);
        return decision;
    }
    // Heard again while the list is full: the listed module heard the fewest
    // times goes, of those the one listed longest.
    QString fewest;
    Listed fewestEntry { std::numeric_limits<int>::max(), 0 };
    for (auto entry = listed.cbegin(); entry != listed.cend(); ++entry) {
        const Listed &candidate = entry.value();
        const bool fewer = candidate.timesHeard < fewestEntry.timesHeard
            || (candidate.timesHeard == fewestEntry.timesHeard
                && candidate.since < fewestEntry.since);
        if (fewer && (!mayDisplace || mayDisplace(entry.key()))) {
            fewest = entry.key();
            fewestEntry = candidate;
        }
    }
    if (fewest.isEmpty())
        return decision;
    listed.remove(fewest);
    waiting.remove(address);
    // Heard twice now.
    listed.insert(address, Listed { 2, announcements });
    decision.outcome = Outcome::Displacing;
    decision.displaced = fewest;
    return decision;
}

void ModuleAdmission::remove(const QString &address)
{
    listed.remove(address);
}

void ModuleAdmission::age(int periods)
{
    ++period;
    while (!waitingOrder.empty()) {
        const auto &[address, since] = waitingOrder.front();
        const auto entry = waiting.constFind(address);
        if (entry != waiting.cend() && entry->since == since && period - entry->period < periods)
            break;
        if (entry != waiting.cend() && entry->since == since)
            waiting.remove(address);
        waitingOrder.pop_front();
    }
}

void ModuleAdmission::wait(const QString &address)
{
    if (waiting.size() >= waitingCapacity)
        forgetOldestWaiting();
    waiting.insert(address, Waiting { announcements, period });
    waitingOrder.emplace_back(address, announcements);
}

void ModuleAdmission::forgetOldestWaiting()
{
    while (!waitingOrder.empty()) {
        const auto [address, since] = waitingOrder.front();
        waitingOrder.pop_front();
        const auto entry = waiting.constFind(address);
        if (entry != waiting.cend() && entry->since == since) {
            waiting.remove(address);
            return;
        }
    }
}
