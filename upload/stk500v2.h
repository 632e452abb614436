#pragma once

#include "upload/stkstep.h"
#include "upload/uploadrunner.h"

#include <QtGlobal>

#include <optional>

// STK500 version 2 (Atmel AVR068) as the Mega's bootloader speaks it: every
// message and every answer is a frame of MESSAGE_START, SEQUENCE_NUMBER,
// MESSAGE_SIZE (2 bytes, MSB first), TOKEN, the body (command and
// parameters), CHECKSUM (XOR of all bytes before it).
namespace stk500v2 {

constexpr int kFrameOverhead = 6; // start, sequence, size (2), token, checksum
constexpr int kSequenceAt = 1;
constexpr int kBodyAt = 5; // the command byte of a message, of its answer

constexpr quint8 kMessageStart = 0x1B;
constexpr quint8 kToken = 0x0E;
constexpr quint8 kStatusOk = 0x00; // STATUS_CMD_OK

// XOR of every byte.
inline quint8 checksum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (char byte : bytes)
        sum ^= static_cast<quint8>(byte);
    return sum;
}

// The page CMD_PROGRAM_FLASH_ISP carries: a page of the ATmega2560.
constexpr int kPageSize = 256;

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

// A short name for the command of the frame ("program flash", "sign on"),
// for messages that say where an upload stopped.
QString stepName(const QByteArray &frame);

} // namespace stk500v2

// One frame of exactly `expected` bytes with MESSAGE_START, the command's
// sequence number, a size that agrees with its length, TOKEN, a checksum that
// holds, the command's own id and STATUS_CMD_OK. A plain function of
// arbitrary bytes: any input, however short, long or hostile, is safe to
// hand it.
ReplyVerdict judgeV2Reply(const QByteArray &reply, quint8 sequence, quint8 command, int expected);
// The signature byte of a CMD_SPI_MULTI reply to the ISP instruction
// 30 00 i 00 (four bytes received, the byte read in the last); -1 when the
// reply has another shape.
int signatureByteOfV2Reply(const QByteArray &reply);
// The data of a CMD_READ_FLASH_ISP reply frame with the given sequence number
// (body: the command, STATUS_CMD_OK, count bytes, STATUS_CMD_OK); nothing when
// the frame, its checksum or a status is wrong.
std::optional<QByteArray> pageOfV2Reply(const QByteArray &reply, quint8 sequence, int count);

// The upload of a board with a version 2 bootloader: sign-on, the parameter
// queries, programming mode and the signature, then a load address where the
// bootloader's own address does not carry on, and each page.
class Stk500v2Upload : public UploadRunner
{
public:
    using UploadRunner::UploadRunner;

    // The sequence number of the next message.
    quint8 sequence() const { return seq_num; }
    void set_sequence(quint8 sequence) { seq_num = sequence; }

protected:
    bool enter(const QByteArray &stray) override;
    bool write_page(const QByteArray &page) override;
    QString read_page(qint64 offset, int count, QByteArray *page) override;
    void leave() override;
    bool in_protocol(const QByteArray &reply) const override;
    QString step_name(const QByteArray &bytes) const override;

private:
    // Whether the next page needs a load address of its own.
    bool address_due(quint32 word) const;

    quint8 seq_num = 1;
    // The word the bootloader's address stands at after the last page
    // written or read (-1: none yet).
    qint64 next_word = -1;
};
