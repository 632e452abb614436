#pragma once

#include <QByteArray>
#include <QtGlobal>

// The frame every STK500 version 2 message travels in: MESSAGE_START,
// SEQUENCE_NUMBER, MESSAGE_SIZE (2 bytes, MSB first), TOKEN, the body,
// CHECKSUM. Apart from the commands, as the reply judges need it too.
namespace stk500v2 {

constexpr int kFrameOverhead = 6; // start, sequence, size (2), token, checksum
constexpr int kSequenceAt = 1;
constexpr int kBodyAt = 5; // the command byte of a message, of its answer

constexpr quint8 kMessageStart = 0x1B;
constexpr quint8 kToken = 0x0E;

// XOR of every byte.
inline quint8 checksum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (char byte : bytes)
        sum ^= static_cast<quint8>(byte);
    return sum;
}

} // namespace stk500v2
