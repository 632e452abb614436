#pragma once

#include "upload/stkstep.h"

#include <QByteArray>
#include <QString>

// Judging what the bootloader and the module answered, by the bytes alone.
// Plain functions of arbitrary bytes (no device, no state), so any input,
// however short, long or hostile, is safe to hand them.

// STK500 version 1: a reply of exactly `expected` bytes that starts with
// Resp_STK_INSYNC and ends with Resp_STK_OK.
ReplyVerdict judgeV1Reply(const QByteArray &reply, int expected);

// STK500 version 2: one frame of exactly `expected` bytes with MESSAGE_START,
// the command's sequence number, a size that agrees with its length, TOKEN, a
// checksum that holds, the command's own id and STATUS_CMD_OK.
ReplyVerdict judgeV2Reply(const QByteArray &reply, quint8 sequence, quint8 command, int expected);

// The module answers each AT command with at least two bytes, whatever they
// say, unless they say ERROR (in any letter case): that is a refusal, as a
// single byte is; nothing at all is silence.
enum class AtReply { Answered, Refused, Error, Silent };
constexpr int kMinimumAtReply = 2;
AtReply judgeAtReply(const QByteArray &reply);
// Whether bytes still to come could make ERROR of an answer that is not one
// yet: it holds nothing but blanks and line ends so far, or its unfinished
// last line is the start of "ERROR".
bool atReplyMayTurnToError(const QByteArray &reply);

// The three signature bytes of a version 1 Cmnd_STK_READ_SIGN reply; empty
// when the reply has another shape.
QByteArray signatureOfV1Reply(const QByteArray &reply);
// The signature byte of a version 2 CMD_SPI_MULTI reply to the ISP instruction
// 30 00 i 00 (four bytes received, the byte read in the last); -1 when the
// reply has another shape.
int signatureByteOfV2Reply(const QByteArray &reply);
// Accepts the signature when the board type is not checked (`expected`
// nullptr) or it matches the three bytes `expected`.
ReplyVerdict judgeSignature(const QByteArray &signature, const char *expected,
                            const QString &boardType);
