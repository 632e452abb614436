#pragma once

#include "upload/stkstep.h"

#include <QtGlobal>

// STK500 version 1 commands (Atmel AVR061) as the UNO's bootloader takes them:
// command byte, parameters, Sync_CRC_EOP. No length, sequence or checksum; a
// reply is Resp_STK_INSYNC, the result bytes, Resp_STK_OK, judged by length.
namespace stk500v1 {

constexpr int kPageSize = 128; // flash page of the ATmega328P
constexpr int kFlashSize = 32 * 1024; // the ATmega328P's whole flash

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
// 1 to kPageSize bytes, sent with their true length.
StkCommand programPage(const QByteArray &data);
StkCommand leaveProgMode();
// Read-back of `count` flash bytes from the loaded address (reply: INSYNC, data, OK).
StkCommand readPage(int count);

} // namespace stk500v1
