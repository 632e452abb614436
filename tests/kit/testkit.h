#pragma once

#include <QByteArray>

namespace TestKit {

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Recognisable bytes: byte i is (seed * seedStep + i * step + i / period)
// & 0xFF, so pages differ by seed and runs within an image shift every period
// bytes (period 0 leaves that shift out). The defaults are the frame tests'.
QByteArray pattern(int size, int seed, int step = 7, int seedStep = 37, int period = 256);

} // namespace TestKit
