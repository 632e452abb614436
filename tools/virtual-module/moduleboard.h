#pragma once

#include "moduleoptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// The board behind a module's data port, as the module drives it: an
// emulated bootloader on an emulated serial line (EmulatedBoard), or the
// board's MCU simulated with its real bootloader (SimulatedBridge).
class ModuleBoard : public QObject
{
    Q_OBJECT

public:
    // Reads at most maxBytes (kAllBytes: all there is) from the data
    // connection; returns what it got (the module counts them).
    using ClientReader = std::function<QByteArray(qint64 maxBytes)>;
    static constexpr qint64 kAllBytes = -1;

    using QObject::QObject;

    void setClientReader(ClientReader reader) { readClient = std::move(reader); }

    virtual bool start(QString *error) = 0;
    virtual void stop() = 0;
    // What the data connection may buffer unread; 0: no bound.
    virtual qint64 clientBufferBytes() const = 0;
    // The data connection has bytes to read.
    virtual void clientReadable() = 0;
    // The client went away: packets not yet sent to it are dropped.
    virtual void dropClientSide() = 0;
    // As the RESET line pulled: the bootloader starts; bytes still on their
    // way to the old program are gone.
    virtual void resetIntoBootloader() = 0;
    virtual void setLink(const LinkOptions &link, const FaultOptions &faults) = 0;
    // Simulated time per wall-clock time, where the board is simulated.
    virtual void setSpeed(double factor) = 0;

    virtual QByteArray flash() const = 0;
    virtual void setFlash(const QByteArray &contents) = 0;
    virtual int flashSize() const = 0;
    virtual int pageSize() const = 0;
    virtual QByteArray eeprom() const = 0;

signals:
    // One TCP packet for the client.
    void toClient(const QByteArray &packet);
    // Bytes the board's receive lost just now.
    void bytesLost(int count);

protected:
    ClientReader readClient;
};
