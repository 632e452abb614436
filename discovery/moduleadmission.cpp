#include "discovery/moduleadmission.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <limits>
#include <utility>

namespace {
// Heard in this many periods, a module not listed may take a listed one's place.
constexpr int kPeriodsToDisplace = 2;
// Bits of a slot's tag: the top bits of the address's hash.
constexpr int kTagShift = 53;

quint64 rotate(quint64 value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}

// SipHash-2-4: a keyed hash whose values nobody without the key can steer,
// so no made-up address can be chosen to land on a waiting module's slot.
quint64 keyedHash(const quint64 (&key)[2], const char *data, int size)
{
    quint64 v0 = key[0] ^ 0x736f6d6570736575ULL;
    quint64 v1 = key[1] ^ 0x646f72616e646f6dULL;
    quint64 v2 = key[0] ^ 0x6c7967656e657261ULL;
    quint64 v3 = key[1] ^ 0x7465646279746573ULL;
    const auto round = [&] {
        v0 += v1;
        v1 = rotate(v1, 13);
        v1 ^= v0;
        v0 = rotate(v0, 32);
        v2 += v3;
        v3 = rotate(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotate(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotate(v1, 17);
        v1 ^= v2;
        v2 = rotate(v2, 32);
    };
    const auto absorb = [&](quint64 word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    };
    constexpr int kWord = 8;
    int at = 0;
    for (; at + kWord <= size; at += kWord)
        absorb(qFromLittleEndian<quint64>(data + at));
    quint64 last = quint64(size) << 56;
    for (int byte = 0; at + byte < size; ++byte)
        last |= quint64(quint8(data[at + byte])) << (8 * byte);
    absorb(last);
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
        round();
    return v0 ^ v1 ^ v2 ^ v3;
}
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
    const quint64 hash = keyedHash(key, reinterpret_cast<const char *>(address.constData()),
                                   address.size() * int(sizeof(QChar)));
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
