#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class QIODevice;

// Reading the flash back after an upload, still in programming mode, and
// comparing it with the image; and reading it before writing, to keep a copy.
// Opt-in: the window reads back unless told not to; only the command-line
// tool keeps a copy.

// What the read-back found.
struct FlashComparison
{
    // Bytes read back and compared, from address 0 on.
    qint64 bytesCompared = 0;
    // Byte address of the first byte that differs from the image; -1: none.
    qint64 firstMismatch = -1;
    // Why the read-back stopped before the end (no or a malformed reply).
    QString error;

    bool matches(qint64 imageSize) const
    {
        return error.isEmpty() && firstMismatch < 0 && bytesCompared == imageSize;
    }
};

// Told the number of bytes compared so far, after every page.
using ReadBackProgress = std::function<void(qint64 bytesCompared)>;

// STK500 version 1: per 128-byte page, Cmnd_STK_LOAD_ADDRESS (word address)
// and Cmnd_STK_READ_PAGE in one write. Stops at the first page that differs.
FlashComparison verifyFlashV1(QIODevice *device, const QByteArray &image,
                              const ReadBackProgress &progress = ReadBackProgress());

// STK500 version 2: CMD_READ_FLASH_ISP per 256-byte page, after one
// CMD_LOAD_ADDRESS that the reads then advance (again where the extended
// address byte changes, or before every page with `addressEachPage`),
// numbered from `sequence` on; `sequence` is left at the next free number.
FlashComparison verifyFlashV2(QIODevice *device, quint8 &sequence, const QByteArray &image,
                              const ReadBackProgress &progress = ReadBackProgress(),
                              bool addressEachPage = false);

// What a read of the flash brought: the bytes from address 0 on, and why the
// read stopped before the end.
struct FlashRead
{
    QByteArray flash;
    QString error;
};

// The first `size` bytes of flash, page by page as the verifications read
// them; progress is told the bytes read so far.
FlashRead readFlashV1(QIODevice *device, qint64 size,
                      const ReadBackProgress &progress = ReadBackProgress());
FlashRead readFlashV2(QIODevice *device, quint8 &sequence, qint64 size,
                      const ReadBackProgress &progress = ReadBackProgress(),
                      bool addressEachPage = false);

// The data of a Cmnd_STK_READ_PAGE reply (Resp_STK_INSYNC, count bytes,
// Resp_STK_OK); nothing when the reply has another shape.
std::optional<QByteArray> pageOfV1Reply(const QByteArray &reply, int count);

// The data of a CMD_READ_FLASH_ISP reply frame with the given sequence number
// (body: the command, STATUS_CMD_OK, count bytes, STATUS_CMD_OK); nothing when
// the frame, its checksum or a status is wrong.
std::optional<QByteArray> pageOfV2Reply(const QByteArray &reply, quint8 sequence, int count);

// Offset of the first byte where the two differ within the shorter one's
// length; -1 when they agree there.
qint64 firstDifference(const QByteArray &expected, const QByteArray &actual);
