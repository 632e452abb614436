#pragma once

#include <QByteArray>
#include <QtGlobal>

// The facts of a microcontroller that the emulated bootloaders need.
struct PartInfo
{
    const char *name = "";
    int flashBytes = 0;
    int pageBytes = 0;
    int eepromBytes = 0;
    QByteArray signature;
    quint8 lowFuse = 0xFF;
    quint8 highFuse = 0xFF;
    quint8 extendedFuse = 0xFF;
    quint8 lockBits = 0xFF;
    // What one page costs its bootloader before it answers again.
    qint64 pageWriteNs = 0;
};

// ATmega328P as on an UNO board: 32 KiB flash in 128-byte pages.
PartInfo atmega328p();
// ATmega2560 as on a Mega 2560 board: 256 KiB flash in 256-byte pages.
PartInfo atmega2560();
