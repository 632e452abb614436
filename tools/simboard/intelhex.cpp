#include "intelhex.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cctype>

namespace {
constexpr int kRecordHeaderBytes = 4; // count, address high, address low, type
constexpr int kChecksumBytes = 1;
constexpr char kErasedByte = '\xff';
// Far more than any AVR's flash; guards against a stray far address.
constexpr quint64 kMaxSpanBytes = 16 * 1024 * 1024;

enum RecordType : quint8 {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kStartSegmentAddress = 0x03,
    kExtendedLinearAddress = 0x04,
    kStartLinearAddress = 0x05,
};

QString lineError(int lineNumber, const QString &what)
{
    return QStringLiteral("line %1: %2").arg(lineNumber).arg(what);
}

void appendData(QVector<HexChunk> &chunks, quint32 address, const QByteArray &data)
{
    if (!chunks.isEmpty()) {
        HexChunk &last = chunks.last();
        if (last.address + quint32(last.data.size()) == address) {
            last.data.append(data);
            return;
        }
    }
    chunks.append(HexChunk { address, data });
}

// Lays the records out by address. Where records overlap, the later one in
// the file wins, as when they are written to a chip in file order.
QString normalise(QVector<HexChunk> &chunks)
{
    if (chunks.isEmpty())
        return QString();
    quint64 low = chunks.first().address;
    quint64 high = low;
    for (const HexChunk &chunk : chunks) {
        low = std::min<quint64>(low, chunk.address);
        high = std::max<quint64>(high, quint64(chunk.address) + quint64(chunk.data.size()));
    }
    if (high - low > kMaxSpanBytes)
        return QStringLiteral("data spread over more than %1 bytes").arg(kMaxSpanBytes);
    const int span = int(high - low);
    QByteArray bytes(span, kErasedByte);
    QByteArray written(span, 0);
    for (const HexChunk &chunk : chunks) {
        const int offset = int(chunk.address - low);
        bytes.replace(offset, chunk.data.size(), chunk.data);
        written.replace(offset, chunk.data.size(), QByteArray(chunk.data.size(), 1));
    }
    QVector<HexChunk> laidOut;
    for (int i = 0; i < span;) {
        if (!written.at(i)) {
            ++i;
            continue;
        }
        int end = i;
        while (end < span && written.at(end))
            ++end;
        laidOut.append(HexChunk { quint32(low + quint64(i)), bytes.mid(i, end - i) });
        i = end;
    }
    chunks = laidOut;
    return QString();
}
} // namespace

quint32 HexContents::endAddress() const
{
    if (chunks.isEmpty())
        return 0;
    return chunks.last().address + quint32(chunks.last().data.size());
}

HexContents parseIntelHex(const QByteArray &text)
{
    HexContents contents;
    quint32 base = 0;
    bool ended = false;
    const QList<QByteArray> lines = text.split('\n');
    for (int index = 0; index < lines.size() && !ended; ++index) {
        const int lineNumber = index + 1;
        const QByteArray line = lines.at(index).trimmed();
        if (line.isEmpty())
            continue;
        if (line.at(0) != ':') {
            contents.error = lineError(lineNumber, QStringLiteral("does not start with ':'"));
            return contents;
        }
        const QByteArray hexDigits = line.mid(1);
        const QByteArray record = QByteArray::fromHex(hexDigits);
        const bool allHex = hexDigits.size() % 2 == 0
            && std::all_of(hexDigits.begin(), hexDigits.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
        if (!allHex || record.size() < kRecordHeaderBytes + kChecksumBytes) {
            contents.error = lineError(lineNumber, QStringLiteral("is not a record"));
            return contents;
        }
        const auto byteAt = [&record](int i) { return static_cast<quint8>(record.at(i)); };
        const int count = byteAt(0);
        if (record.size() != kRecordHeaderBytes + count + kChecksumBytes) {
            contents.error
                = lineError(lineNumber, QStringLiteral("length does not match its count"));
            return contents;
        }
        quint8 sum = 0;
        for (char c : record)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        if (sum != 0) {
            contents.error = lineError(lineNumber, QStringLiteral("checksum mismatch"));
            return contents;
        }
        const quint32 offset = (quint32(byteAt(1)) << 8) | byteAt(2);
        const QByteArray payload = record.mid(kRecordHeaderBytes, count);
        const auto payloadWord = [&]() {
            return (quint32(static_cast<quint8>(payload.at(0))) << 8)
                | static_cast<quint8>(payload.at(1));
        };
        switch (byteAt(3)) {
        case kData:
            appendData(contents.chunks, base + offset, payload);
            break;
        case kEndOfFile:
            ended = true;
            break;
        case kExtendedSegmentAddress:
        case kExtendedLinearAddress:
            if (count != 2) {
                contents.error
                    = lineError(lineNumber, QStringLiteral("address record needs 2 bytes"));
                return contents;
            }
            base = byteAt(3) == kExtendedSegmentAddress ? payloadWord() << 4 : payloadWord() << 16;
            break;
        case kStartSegmentAddress:
        case kStartLinearAddress:
            break;
        default:
            contents.error = lineError(lineNumber, QStringLiteral("unknown record type"));
            return contents;
        }
    }
    if (!ended) {
        contents.error = QStringLiteral("no end-of-file record");
        return contents;
    }
    contents.error = normalise(contents.chunks);
    return contents;
}

HexContents readIntelHexFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        HexContents contents;
        contents.error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return contents;
    }
    HexContents contents = parseIntelHex(file.readAll());
    if (!contents.ok())
        contents.error = QStringLiteral("%1: %2").arg(path, contents.error);
    return contents;
}

QByteArray flatImage(const HexContents &contents)
{
    QByteArray image(int(contents.endAddress()), kErasedByte);
    for (const HexChunk &chunk : contents.chunks)
        image.replace(int(chunk.address), chunk.data.size(), chunk.data);
    return image;
}
