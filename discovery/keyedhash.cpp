#include "discovery/keyedhash.h"

#include <QtEndian>

namespace {
quint64 rotate(quint64 value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}
} // namespace

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
