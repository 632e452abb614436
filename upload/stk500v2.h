#pragma once

#include "upload/stk500v2frame.h"
#include "upload/stkstep.h"

#include <QtGlobal>

// STK500 version 2 messages (Atmel AVR068) as the Mega's bootloader takes them:
// MESSAGE_START, SEQUENCE_NUMBER, MESSAGE_SIZE (2 bytes, MSB first), TOKEN,
// the body (command and parameters), CHECKSUM (XOR of all bytes before it).
namespace stk500v2 {

constexpr int kPageSize = 256; // flash page of the ATmega2560
constexpr int kFlashSize = 256 * 1024; // the ATmega2560's whole flash

constexpr quint8 kSignOn = 0x01; // CMD_SIGN_ON
constexpr quint8 kGetParameter = 0x03; // CMD_GET_PARAMETER
constexpr quint8 kLoadAddress = 0x06; // CMD_LOAD_ADDRESS
constexpr quint8 kEnterProgModeIsp = 0x10; // CMD_ENTER_PROGMODE_ISP
constexpr quint8 kLeaveProgModeIsp = 0x11; // CMD_LEAVE_PROGMODE_ISP
constexpr quint8 kProgramFlashIsp = 0x13; // CMD_PROGRAM_FLASH_ISP
constexpr quint8 kReadFlashIsp = 0x14; // CMD_READ_FLASH_ISP
constexpr quint8 kSpiMulti = 0x1D; // CMD_SPI_MULTI

constexpr quint8 kParamHwVersion = 0x90; // PARAM_HW_VER
constexpr quint8 kParamSwMajor = 0x91; // PARAM_SW_MAJOR
constexpr quint8 kParamSwMinor = 0x92; // PARAM_SW_MINOR
constexpr quint8 kParamVTarget = 0x94; // PARAM_VTARGET

// The whole message around a body.
QByteArray frame(quint8 sequence, const QByteArray &body);

// Bodies: the command byte and its parameters.
QByteArray signOnBody();
QByteArray getParameterBody(quint8 id);
QByteArray enterProgModeBody();
QByteArray readSignatureBody(quint8 index);
// 0x80000000 + word address: the top bit has the programmer issue a load
// extended address instruction, so bits 16 to 23 reach beyond 128 KiB.
QByteArray loadAddressBody(quint32 wordAddress);
// A page shorter than kPageSize is filled up with 0xFF (erased flash).
QByteArray programFlashBody(const QByteArray &page);
QByteArray leaveProgModeBody();
QByteArray readFlashBody(int count);

// Whether the bootloader's flash address, left at `nextWord` by the last
// program-flash or read-flash (-1: nothing loaded yet), already stands at
// `word` within the same extended address byte, so no CMD_LOAD_ADDRESS is due.
bool addressCarriesOn(qint64 nextWord, quint32 word);

// Complete steps: frame and reply rule.
StkCommand signOn(quint8 sequence);
StkCommand getParameter(quint8 sequence, quint8 id);
StkCommand enterProgMode(quint8 sequence);
StkCommand readSignature(quint8 sequence, quint8 index);
StkCommand loadAddress(quint8 sequence, quint32 wordAddress);
StkCommand programFlash(quint8 sequence, const QByteArray &page);
StkCommand leaveProgMode(quint8 sequence);
// Read-back of `count` bytes from the loaded address (reply body: command,
// STATUS_CMD_OK, the data, STATUS_CMD_OK).
StkCommand readFlash(quint8 sequence, int count);

} // namespace stk500v2
