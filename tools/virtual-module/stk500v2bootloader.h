#pragma once

#include "bootloader.h"

// The STK500 version 2 bootloader of a Mega 2560-class board (AVR068 message
// framing, ISP command set). Two habits of that bootloader matter to an
// uploader: its k-th program command erases page k whatever address was
// loaded (so a skipped page leaves the next one un-erased), and it refuses
// CMD_CHIP_ERASE_ISP with a failure status.
class Stk500v2Bootloader : public Bootloader
{
public:
    static constexpr int kMaxBodyBytes = 275;
    static constexpr char kSignOnName[] = "AVRISP_2";

    Stk500v2Bootloader(const BoardTraits &part, Flash &flash);

    bool feed(quint8 byte, BootloaderReply *reply) override;
    void reset() override;
    const char *protocolName() const override { return "STK500v2"; }

    // Builds a whole message frame around a body (also used by tests).
    static QByteArray frame(quint8 sequence, const QByteArray &body);
    static quint8 parameterValue(quint8 id);

private:
    enum class State { Start, Sequence, SizeHigh, SizeLow, Token, Body, Checksum };

    QByteArray execute(const QByteArray &body, BootloaderReply *reply);
    quint32 byteAddress() const;

    State state = State::Start;
    QByteArray request;
    QByteArray body;
    quint8 sequence = 0;
    int bodySize = 0;
    quint32 address = 0; // the loaded address: words for flash, bytes for EEPROM
    int programCommands = 0;
};
