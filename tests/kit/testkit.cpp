#include "testkit.h"

namespace TestKit {

QByteArray pattern(int size, int seed, int step, int seedStep, int period)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        const int shift = period > 0 ? i / period : 0;
        bytes[i] = static_cast<char>((seed * seedStep + i * step + shift) & 0xFF);
    }
    return bytes;
}

} // namespace TestKit
