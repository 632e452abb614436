#include "upload/flashverify.h"

#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/stkstep.h"

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

// The page loop both versions share: `readPage(offset, count, &data)` loads
// the address and reads, returning an error text or an empty string.
template<typename ReadPage>
FlashComparison compareByPages(const QByteArray &image, int pageSize, ReadPage readPage,
                               const ReadBackProgress &progress)
{
    FlashComparison result;
    for (int offset = 0; offset < image.size(); offset += pageSize) {
        const int count = qMin(pageSize, image.size() - offset);
        QByteArray data;
        const QString error = readPage(offset, count, &data);
        if (!error.isEmpty()) {
            result.error = error;
            return result;
        }
        const qint64 difference = firstDifference(image.mid(offset, count), data);
        if (difference >= 0) {
            result.firstMismatch = offset + difference;
            return result;
        }
        result.bytesCompared = offset + count;
        if (progress)
            progress(result.bytesCompared);
    }
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

FlashComparison verifyFlashV1(QIODevice *device, const QByteArray &image,
                              const ReadBackProgress &progress)
{
    const auto readPage = [device](int offset, int count, QByteArray *data) -> QString {
        // Address and read in one write: the bootloader takes the read from
        // its receive buffer right after answering the address.
        const QList<StepResult> results = transactTogether(
            device,
            { stk500v1::loadAddress(static_cast<quint32>(offset / kBytesPerWord)),
              stk500v1::readPage(count) });
        if (!results.first().ok)
            return QStringLiteral("no reply to the load-address command for %1 while verifying: %2")
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
    return compareByPages(image, stk500v1::kPageSize, readPage, progress);
}

FlashComparison verifyFlashV2(QIODevice *device, quint8 &sequence, const QByteArray &image,
                              const ReadBackProgress &progress, bool addressEachPage)
{
    // CMD_READ_FLASH_ISP advances the bootloader's address: one load address
    // serves consecutive pages, until the extended address byte changes.
    qint64 nextWord = -1;
    const auto readPage = [device, &sequence, &nextWord,
                           addressEachPage](int offset, int count, QByteArray *data) -> QString {
        const auto word = static_cast<quint32>(offset / kBytesPerWord);
        if (addressEachPage || !stk500v2::addressCarriesOn(nextWord, word)) {
            const StepResult address = transact(device, stk500v2::loadAddress(sequence++, word));
            if (!address.ok)
                return QStringLiteral(
                           "no reply to the load-address command for %1 while verifying: %2")
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
        nextWord = word + static_cast<quint32>(count / kBytesPerWord);
        *data = *page;
        return QString();
    };
    return compareByPages(image, stk500v2::kPageSize, readPage, progress);
}
