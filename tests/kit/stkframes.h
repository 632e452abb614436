#pragma once

#include <QByteArray>

// The uploader's frames, built the way the upload worker builds them, for
// feeding the emulated bootloaders and the simulated boards in tests.
namespace StkFrames {

// The bytes the two protocols frame and answer with, once for every test.
constexpr char kInSync = 0x14; // Resp_STK_INSYNC
constexpr char kOk = 0x10; // Resp_STK_OK
constexpr char kFailed = 0x11; // Resp_STK_FAILED
constexpr char kNoSync = 0x15; // Resp_STK_NOSYNC
constexpr char kCrcEop = 0x20; // Sync_CRC_EOP
constexpr char kMessageStart = 0x1B; // MESSAGE_START
constexpr char kToken = 0x0E; // TOKEN
constexpr char kStatusOk = 0x00; // STATUS_CMD_OK
constexpr char kStatusFailed = static_cast<char>(0xC0); // STATUS_CMD_FAILED

// STK500 version 1 (AVR061): the command byte, its arguments, CRC_EOP.
QByteArray v1(quint8 command, const QByteArray &arguments = QByteArray());
QByteArray v1LoadAddress(quint16 word);
QByteArray v1ProgramPage(const QByteArray &data);
QByteArray v1ReadPage(int count);
QByteArray v1SetDevice();

// STK500 version 2 (AVR068): MESSAGE_START, sequence, size, TOKEN, body and
// the XOR of all of them.
QByteArray v2(quint8 sequence, const QByteArray &body);
QByteArray v2SignOn(quint8 sequence);
QByteArray v2GetParameter(quint8 sequence, quint8 id);
QByteArray v2Enter(quint8 sequence);
QByteArray v2Signature(quint8 sequence, quint8 index);
// CMD_LOAD_ADDRESS with bit 31 set, the extended byte and a 16-bit word address.
QByteArray v2LoadAddress(quint8 sequence, quint32 wordAddress);
QByteArray v2ProgramPage(quint8 sequence, const QByteArray &page);
QByteArray v2ReadFlash(quint8 sequence, int count);
QByteArray v2Leave(quint8 sequence);

// The bodies of the version 2 messages above, for writers that number
// their frames themselves.
QByteArray v2EnterBody();
QByteArray v2ProgramPageBody(const QByteArray &page);
QByteArray v2ReadFlashBody(int count);
QByteArray v2LeaveBody();

// The first exchange with each bootloader: STK_GET_SYNC and STK_INSYNC STK_OK;
// CMD_SIGN_ON (sequence 1) and STATUS_CMD_OK, 8, "AVRISP_2".
inline const QByteArray kGetSync = QByteArray::fromHex("3020");
inline const QByteArray kInSyncOk = QByteArray::fromHex("1410");
inline const QByteArray kSignOnFrame = QByteArray::fromHex("1b0100010e0114");
inline const QByteArray kSignOnAnswer = QByteArray::fromHex("1b01000b0e0100084156524953505f3274");
// How long the version 2 answers are, frame included: to CMD_SIGN_ON, to
// CMD_GET_PARAMETER, a status alone, to CMD_READ_SIGNATURE_ISP.
constexpr int kSignOnReply = 17;
constexpr int kParameterReply = 9;
constexpr int kShortFrameReply = 8;
constexpr int kSignatureReply = 13;

} // namespace StkFrames
