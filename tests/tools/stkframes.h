#pragma once

#include "stk500v2bootloader.h"

#include <QByteArray>

// The uploader's frames, built the way the upload worker builds them, for
// feeding the emulated bootloaders in tests.
namespace StkFrames {

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// STK500 version 1.
inline QByteArray v1LoadAddress(quint16 word)
{
    return hex("55") + QByteArray(1, char(word & 0xFF)) + QByteArray(1, char(word >> 8))
        + hex("20");
}

inline QByteArray v1ProgramPage(const QByteArray &data)
{
    return hex("64") + QByteArray(1, char(data.size() >> 8))
        + QByteArray(1, char(data.size() & 0xFF)) + hex("46") + data + hex("20");
}

inline QByteArray v1ReadPage(int count)
{
    return hex("74") + QByteArray(1, char(count >> 8)) + QByteArray(1, char(count & 0xFF))
        + hex("46") + hex("20");
}

inline QByteArray v1SetDevice()
{
    return hex("428600000101010103ffffffff008004000000800020");
}

// STK500 version 2.
inline QByteArray v2(quint8 sequence, const QByteArray &body)
{
    return Stk500v2Bootloader::frame(sequence, body);
}

inline QByteArray v2SignOn(quint8 sequence)
{
    return v2(sequence, hex("01"));
}

inline QByteArray v2GetParameter(quint8 sequence, quint8 id)
{
    return v2(sequence, hex("03") + QByteArray(1, char(id)));
}

inline QByteArray v2Enter(quint8 sequence)
{
    return v2(sequence, hex("10c8641920005303ac530000"));
}

inline QByteArray v2Signature(quint8 sequence, quint8 index)
{
    return v2(sequence, hex("1d0404003000") + QByteArray(1, char(index)) + hex("00"));
}

// CMD_LOAD_ADDRESS with bit 31 set, the extended byte and a 16-bit word address.
inline QByteArray v2LoadAddress(quint8 sequence, quint32 wordAddress)
{
    QByteArray body = hex("0680");
    body.append(char((wordAddress >> 16) & 0xFF));
    body.append(char((wordAddress >> 8) & 0xFF));
    body.append(char(wordAddress & 0xFF));
    return v2(sequence, body);
}

inline QByteArray v2ProgramPage(quint8 sequence, const QByteArray &page)
{
    return v2(sequence, hex("130100c10a404c200000") + page);
}

inline QByteArray v2ReadFlash(quint8 sequence, int count)
{
    return v2(sequence,
              hex("14") + QByteArray(1, char(count >> 8)) + QByteArray(1, char(count & 0xFF))
                  + hex("20"));
}

inline QByteArray v2Leave(quint8 sequence)
{
    return v2(sequence, hex("110101"));
}

// Recognisable bytes that differ from page to page (seed) and within a page.
inline QByteArray pattern(int size, int seed)
{
    QByteArray out(size, 0);
    for (int i = 0; i < size; ++i)
        out[i] = char((seed * 37 + i * 7 + (i >> 8)) & 0xFF);
    return out;
}

} // namespace StkFrames
