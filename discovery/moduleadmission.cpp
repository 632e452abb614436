#include "discovery/moduleadmission.h"

#include "discovery/keyedhash.h"

#include <QRandomGenerator>

#include <limits>
#include <utility>

namespace {
// Heard in this many periods, a module not listed may take a listed one's place.
constexpr int kPeriodsToDisplace = 2;
// Bits of a slot's tag: the top bits of the address's hash.
constexpr int kTagShift = 53;
} // namespace

ModuleAdmission::ModuleAdmission(int capacity, int waitingSlots, quint64 key)
    : capacity(capacity)
    , key { key ? key : QRandomGenerator::system()->generate64(),
            key ? ~key : QRandomGenerator::system()->generate64() }
    , waiting(std::size_t(qMax(1, waitingSlots)), 0)
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
        known->lastHeard = announcements;
        if (known->lastPeriod != period) {
            known->lastPeriod = period;
            if (known->periodsHeard < std::numeric_limits<int>::max())
                ++known->periodsHeard;
        }
        decision.outcome = Outcome::Known;
        return decision;
    }
    if (listed.size() < capacity) {
        listed.insert(address, Listed { 1, period, announcements });
        decision.outcome = Outcome::Added;
        return decision;
    }
    const Slot slot = slotOf(address);
    // Heard before, in an earlier period still remembered: two periods now.
    const bool twoPeriods = periodsSince(*slot.slot, slot.tag) > 0;
    const QString displaced = twoPeriods ? victim(mayDisplace) : QString();
    if (displaced.isEmpty()) {
        remember(slot, period);
        return decision;
    }
    const Listed gone = listed.take(displaced);
    // It may come back as soon as it is heard in a later period.
    if (period - gone.lastPeriod < rememberedPeriods)
        remember(slotOf(displaced), gone.lastPeriod);
    listed.insert(address, Listed { kPeriodsToDisplace, period, announcements });
    decision.outcome = Outcome::Displacing;
    decision.displaced = displaced;
    return decision;
}

void ModuleAdmission::remove(const QString &address)
{
    listed.remove(address);
}

void ModuleAdmission::age(int periods)
{
    ++period;
    rememberedPeriods = qBound(1, periods, kStampPeriods - 1);
}

int ModuleAdmission::waitingCount() const
{
    int count = 0;
    for (const quint16 slot : waiting) {
        if (periodsSince(slot, quint16(slot >> kStampBits)) >= 0)
            ++count;
    }
    return count;
}

ModuleAdmission::Slot ModuleAdmission::slotOf(const QString &address)
{
    const quint64 hash = keyedHash(key, address);
    const auto tag = quint16(qMax<quint64>(1, hash >> kTagShift));
    return Slot { &waiting[std::size_t(hash % waiting.size())], tag };
}

int ModuleAdmission::periodsSince(quint16 slot, quint16 tag) const
{
    if (slot == 0 || (slot >> kStampBits) != tag)
        return -1;
    const int since = (period - slot) & (kStampPeriods - 1);
    return since < rememberedPeriods ? since : -1;
}

void ModuleAdmission::remember(const Slot &slot, int heardIn)
{
    *slot.slot = quint16((slot.tag << kStampBits) | (heardIn & (kStampPeriods - 1)));
}

QString ModuleAdmission::victim(const std::function<bool(const QString &)> &mayDisplace) const
{
    QString chosen;
    const Listed *best = nullptr;
    for (auto entry = listed.cbegin(); entry != listed.cend(); ++entry) {
        const Listed &candidate = entry.value();
        const bool mayGo = candidate.periodsHeard < kPeriodsToDisplace
            || period - candidate.lastPeriod >= kPeriodsToDisplace;
        const bool before = !best
            || std::make_pair(candidate.periodsHeard, candidate.lastHeard)
                < std::make_pair(best->periodsHeard, best->lastHeard);
        if (mayGo && before && (!mayDisplace || mayDisplace(entry.key()))) {
            chosen = entry.key();
            best = &candidate;
        }
    }
    return chosen;
}
