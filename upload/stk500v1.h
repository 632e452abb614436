#pragma once

#include "upload/stkstep.h"
#include "upload/uploadrunner.h"

#include <QtGlobal>

#include <optional>

// STK500 version 1 (Atmel AVR061) as the UNO's bootloader speaks it: the
// commands are command byte, parameters, Sync_CRC_EOP, with no length,
// sequence or checksum; a reply is Resp_STK_INSYNC, the result bytes,
// Resp_STK_OK, judged by its length and those two bytes.
namespace stk500v1 {

constexpr quint8 kGetSync = 0x30; // Cmnd_STK_GET_SYNC
constexpr quint8 kGetParameter = 0x41; // Cmnd_STK_GET_PARAMETER
constexpr quint8 kSetDevice = 0x42; // Cmnd_STK_SET_DEVICE
constexpr quint8 kSetDeviceExt = 0x45; // Cmnd_STK_SET_DEVICE_EXT
constexpr quint8 kEnterProgMode = 0x50; // Cmnd_STK_ENTER_PROGMODE
constexpr quint8 kLeaveProgMode = 0x51; // Cmnd_STK_LEAVE_PROGMODE
constexpr quint8 kLoadAddress = 0x55; // Cmnd_STK_LOAD_ADDRESS
constexpr quint8 kUniversal = 0x56; // Cmnd_STK_UNIVERSAL
constexpr quint8 kProgPage = 0x64; // Cmnd_STK_PROG_PAGE
constexpr quint8 kReadPage = 0x74; // Cmnd_STK_READ_PAGE
constexpr quint8 kReadSign = 0x75; // Cmnd_STK_READ_SIGN
constexpr quint8 kEndOfPacket = 0x20; // Sync_CRC_EOP
constexpr quint8 kMemoryFlash = 0x46; // 'F'

constexpr quint8 kOk = 0x10; // Resp_STK_OK
constexpr quint8 kFailed = 0x11; // Resp_STK_FAILED
constexpr quint8 kNoDevice = 0x13; // Resp_STK_NODEVICE
constexpr quint8 kInSync = 0x14; // Resp_STK_INSYNC
constexpr quint8 kNoSync = 0x15; // Resp_STK_NOSYNC

StkCommand getSync();
StkCommand getParameter(quint8 id);
StkCommand setDevice();
StkCommand setDeviceExt();
StkCommand enterProgMode();
StkCommand readSignature();
// Reads EEPROM byte 0x0300 + low through the ISP instruction A0 03 low 00.
StkCommand universalReadEeprom(quint8 low);
// Word address, low byte first; only its low 16 bits are carried.
StkCommand loadAddress(quint32 wordAddress);
// A page of the part or less, sent with its true length.
StkCommand programPage(const QByteArray &data);
StkCommand leaveProgMode();
// Read-back of `count` flash bytes from the loaded address (reply: INSYNC, data, OK).
StkCommand readPage(int count);

// A short name for the command the bytes are ("program page", "get sync"),
// for messages that say where an upload stopped.
QString stepName(const QByteArray &commandBytes);

} // namespace stk500v1

// A reply of exactly `expected` bytes that starts with Resp_STK_INSYNC and
// ends with Resp_STK_OK. A plain function of arbitrary bytes: any input,
// however short, long or hostile, is safe to hand it.
ReplyVerdict judgeV1Reply(const QByteArray &reply, int expected);
// The three signature bytes of a Cmnd_STK_READ_SIGN reply; empty when the
// reply has another shape.
QByteArray signatureOfV1Reply(const QByteArray &reply);
// The data of a Cmnd_STK_READ_PAGE reply (Resp_STK_INSYNC, count bytes,
// Resp_STK_OK); nothing when the reply has another shape.
std::optional<QByteArray> pageOfV1Reply(const QByteArray &reply, int count);

// The upload of a board with a version 1 bootloader: three syncs, the
// parameter queries, the device, programming mode and the signature, then
// per page its address and the page in one write.
class Stk500v1Upload : public UploadRunner
{
public:
    using UploadRunner::UploadRunner;

protected:
    bool enter(const QByteArray &stray) override;
    bool write_page(const QByteArray &page) override;
    QString read_page(qint64 offset, int count, QByteArray *page) override;
    void leave() override;
    bool in_protocol(const QByteArray &reply) const override;
    QString step_name(const QByteArray &bytes) const override;
};
