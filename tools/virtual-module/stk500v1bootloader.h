#pragma once

#include "bootloader.h"

// The STK500 version 1 bootloader of an UNO-class board (AVR061 commands):
// every command ends with Sync_CRC_EOP and is answered with Resp_STK_INSYNC,
// the result bytes and Resp_STK_OK. Each page is erased as it is written.
class Stk500v1Bootloader : public Bootloader
{
public:
    Stk500v1Bootloader(const BoardTraits &part, Flash &flash);

    bool feed(quint8 byte, BootloaderReply *reply) override;
    void reset() override;
    const char *protocolName() const override { return "STK500v1"; }

    // The parameter values this bootloader reports to Cmnd_STK_GET_PARAMETER.
    static quint8 parameterValue(quint8 id);

private:
    int expectedLength() const;
    void execute(BootloaderReply *reply);
    void answer(BootloaderReply *reply, const QByteArray &result) const;

    QByteArray request;
    quint32 wordAddress = 0;
};
