#include "upload/flashverify.h"

#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/stkstep.h"

#include <memory>

namespace {
constexpr int kBytesPerWord = 2;

constexpr quint8 kV1InSync = 0x14; // Resp_STK_INSYNC
constexpr quint8 kV1Ok = 0x10; // Resp_STK_OK
constexpr int kV1ReplyFraming = 2;

constexpr quint8 kV2StatusOk = 0x00; // STATUS_CMD_OK
// Frame header: start, sequence, size (2), token.
constexpr int kV2HeaderBytes = 5;
// Body around the data: command, status, ..., status.
constexpr int kV2BodyFraming = 3;

quint8 byteAt(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

QString hexAddress(qint64 address)
{
    return QStringLiteral("0x%1").arg(address, 4, 16, QLatin1Char('0'));
}

// Reads one page of flash: loads the address when needed and returns an
// error text, or an empty one with *data filled.
using PageReader = std::function<QString(int offset, int count, QByteArray *data)>;

// The page loop of both versions, for comparing and for reading: every page
// from address 0 up to `size` is read and handed to `take`, which ends the
// loop by returning false. Returns why a read failed, or an empty text.
template<typename Take>
QString readPages(qint64 size, int pageSize, const PageReader &readPage, Take take)
{
    for (qint64 offset = 0; offset < size; offset += pageSize) {
        const int count = static_cast<int>(qMin<qint64>(pageSize, size - offset));
        QByteArray data;
        const QString error = readPage(static_cast<int>(offset), count, &data);
        if (!error.isEmpty())
            return error;
        if (!take(offset, data))
            break;
    }
    return QString();
}

FlashComparison compareByPages(const QByteArray &image, int pageSize, const PageReader &readPage,
                               const ReadBackProgress &progress)
{
    FlashComparison result;
    result.error
        = readPages(image.size(), pageSize, readPage, [&](qint64 offset, const QByteArray &data) {
              const qint64 difference
                  = firstDifference(image.mid(static_cast<int>(offset), data.size()), data);
              if (difference >= 0) {
                  result.firstMismatch = offset + difference;
                  return false;
              }
              result.bytesCompared = offset + data.size();
              if (progress)
                  progress(result.bytesCompared);
              return true;
          });
    return result;
}
} // namespace

std::optional<QByteArray> pageOfV1Reply(const QByteArray &reply, int count)
{
    if (reply.size() != count + kV1ReplyFraming || byteAt(reply, 0) != kV1InSync
        || byteAt(reply, reply.size() - 1) != kV1Ok)
        return std::nullopt;
    return reply.mid(1, count);
}

std::optional<QByteArray> pageOfV2Reply(const QByteArray &reply, quint8 sequence, int count)
{
    const int bodySize = count + kV2BodyFraming;
    if (reply.size() != bodySize + stk500v2::kFrameOverhead)
        return std::nullopt;
    if (byteAt(reply, 0) != stk500v2::kMessageStart || byteAt(reply, 1) != sequence
        || byteAt(reply, 2) != ((bodySize >> 8) & 0xFF) || byteAt(reply, 3) != (bodySize & 0xFF)
        || byteAt(reply, 4) != stk500v2::kToken)
        return std::nullopt;
    if (stk500v2::checksum(reply.left(reply.size() - 1)) != byteAt(reply, reply.size() - 1))
        return std::nullopt;
    const int body = kV2HeaderBytes;
    if (byteAt(reply, body) != stk500v2::kReadFlashIsp || byteAt(reply, body + 1) != kV2StatusOk
        || byteAt(reply, body + 2 + count) != kV2StatusOk)
        return std::nullopt;
    return reply.mid(body + 2, count);
}

qint64 firstDifference(const QByteArray &expected, const QByteArray &actual)
{
    const int length = qMin(expected.size(), actual.size());
    for (int i = 0; i < length; ++i) {
        if (expected.at(i) != actual.at(i))
            return i;
    }
    return -1;
}

namespace {
PageReader v1PageReader(QIODevice *device)
{
    return [device](int offset, int count, QByteArray *data) -> QString {
        // Address and read in one write: the bootloader takes the read from
        // its receive buffer right after answering the address.
        const QList<StepResult> results = transactTogether(
            device,
            { stk500v1::loadAddress(static_cast<quint32>(offset / kBytesPerWord)),
              stk500v1::readPage(count) });
        if (!results.first().ok)
            return QStringLiteral("no reply to the load-address command for %1 while reading: %2")
                .arg(hexAddress(offset), results.first().reason);
        if (!results.last().ok)
            return QStringLiteral("no complete reply to the read-page command at %1: %2")
                .arg(hexAddress(offset), results.last().reason);
        const std::optional<QByteArray> page = pageOfV1Reply(results.last().reply, count);
        if (!page)
            return QStringLiteral("malformed reply to the read-page command at %1")
                .arg(hexAddress(offset));
        *data = *page;
        return QString();
    };
}

PageReader v2PageReader(QIODevice *device, quint8 &sequence, bool addressEachPage)
{
    // CMD_READ_FLASH_ISP advances the bootloader's address: one load address
    // serves consecutive pages, until the extended address byte changes.
    auto nextWord = std::make_shared<qint64>(-1);
    return [device, &sequence, nextWord, addressEachPage](int offset, int count,
                                                          QByteArray *data) -> QString {
        const auto word = static_cast<quint32>(offset / kBytesPerWord);
        if (addressEachPage || !stk500v2::addressCarriesOn(*nextWord, word)) {
            const StepResult address = transact(device, stk500v2::loadAddress(sequence++, word));
            if (!address.ok)
                return QStringLiteral(
                           "no reply to the load-address command for %1 while reading: %2")
                    .arg(hexAddress(offset), address.reason);
        }
        const quint8 readSequence = sequence++;
        const StepResult read = transact(device, stk500v2::readFlash(readSequence, count));
        if (!read.ok)
            return QStringLiteral("no complete reply to the read-flash command at %1: %2")
                .arg(hexAddress(offset), read.reason);
        const std::optional<QByteArray> page = pageOfV2Reply(read.reply, readSequence, count);
        if (!page)
            return QStringLiteral("malformed reply to the read-flash command at %1")
                .arg(hexAddress(offset));
        *nextWord = word + static_cast<quint32>(count / kBytesPerWord);
        *data = *page;
        return QString();
    };
}

FlashRead readByPages(qint64 size, int pageSize, const PageReader &readPage,
                      const ReadBackProgress &progress)
{
    FlashRead result;
    result.error = readPages(size, pageSize, readPage, [&](qint64, const QByteArray &data) {
        result.flash += data;
        if (progress)
            progress(result.flash.size());
        return true;
    });
    return result;
}
} // namespace

FlashComparison verifyFlashV1(QIODevice *device, const QByteArray &image,
                              const ReadBackProgress &progress)
{
    return compareByPages(image, stk500v1::kPageSize, v1PageReader(device), progress);
}

FlashComparison verifyFlashV2(QIODevice *device, quint8 &sequence, const QByteArray &image,
                              const ReadBackProgress &progress, bool addressEachPage)
{
    return compareByPages(image, stk500v2::kPageSize,
                          v2PageReader(device, sequence, addressEachPage), progress);
}

FlashRead readFlashV1(QIODevice *device, qint64 size, const ReadBackProgress &progress)
{
    return readByPages(size, stk500v1::kPageSize, v1PageReader(device), progress);
}

FlashRead readFlashV2(QIODevice *device, quint8 &sequence, qint64 size,
                      const ReadBackProgress &progress, bool addressEachPage)
{
    return readByPages(size, stk500v2::kPageSize, v2PageReader(device, sequence, addressEachPage),
                       progress);
}
