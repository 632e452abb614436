#pragma once

#include "flash.h"
#include "moduleboard.h"
#include "seriallink.h"

#include <functional>
#include <memory>

class Bootloader;

// The board's bootloader emulated command by command (STK500 version 1 or
// 2, as the board's), its flash, and the serial line with the module's
// bridge between it and the client.
class EmulatedBoard : public ModuleBoard
{
    Q_OBJECT

public:
    // What reaches the board's UART, one byte at a time: the module feeds it
    // to the bootloader (or not) and says what the board answers.
    using ByteHandler = std::function<BoardAnswer(quint8 byte, Bootloader &bootloader)>;

    EmulatedBoard(const ModuleOptions &options, ByteHandler handler, QObject *parent = nullptr);
    ~EmulatedBoard() override;

    bool start(QString *) override { return true; }
    void stop() override { }
    qint64 clientBufferBytes() const override { return 0; }
    void clientReadable() override;
    void dropClientSide() override;
    void resetIntoBootloader() override;
    void setLink(const LinkOptions &link, const FaultOptions &faults) override;
    void setSpeed(double) override { }

    QByteArray flash() const override;
    void setFlash(const QByteArray &contents) override;
    int flashSize() const override;
    int pageSize() const override;
    QByteArray eeprom() const override;

private:
    Flash memory;
    std::unique_ptr<Bootloader> bootloader;
    SerialLink *line = nullptr;
};
