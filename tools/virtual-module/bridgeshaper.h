#pragma once

#include "moduleoptions.h"

#include <QtGlobal>

#include <random>

// The choices a bridge makes when it cuts the board's bytes into TCP
// segments: in random mode, how long the next segment is and how late it
// leaves. Seeded, so a failure can be replayed with the seed the log shows.
class BridgeShaper
{
public:
    // Long enough to cut a 130-byte read-back or a 2-byte reply anywhere,
    // short enough that most replies come in several pieces.
    static constexpr int kMaxRandomSegmentBytes = 24;
    // "A little" jitter: below a byte time at 115200 baud, so it reorders nothing.
    static constexpr qint64 kMaxJitterNs = 60000;

    void setMode(BridgeMode newMode, quint32 seed)
    {
        mode = newMode;
        random.seed(seed);
        target = drawTarget();
    }
    BridgeMode bridgeMode() const { return mode; }

    // Whether a segment of `bytes` bytes is to leave now.
    bool segmentFull(int bytes) const
    {
        return mode == BridgeMode::Bytes || (mode == BridgeMode::Random && bytes >= target);
    }
    // A segment left: the next one gets its own length.
    void segmentSent() { target = drawTarget(); }
    qint64 jitterNs()
    {
        return mode == BridgeMode::Random
            ? std::uniform_int_distribution<qint64>(0, kMaxJitterNs)(random)
            : 0;
    }

private:
    int drawTarget()
    {
        return mode == BridgeMode::Random
            ? std::uniform_int_distribution<int>(1, kMaxRandomSegmentBytes)(random)
            : 1;
    }

    BridgeMode mode = BridgeMode::Packed;
    std::mt19937 random;
    int target = 1;
};
