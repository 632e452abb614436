#pragma once

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>

#include <algorithm>

// Writes Intel HEX for tests: data regions in the order given (a later region
// overwrites an earlier one), records of random length up to 255 bytes,
// addressed through extended linear (04) or extended segment (02) records.
struct HexRegion
{
    int address = 0;
    QByteArray bytes;
};

class HexWriter
{
public:
    enum Addressing { Linear, Segment, Mixed };

    explicit HexWriter(QRandomGenerator &random)
        : random(random)
    {
    }

    Addressing addressing = Mixed;
    bool crlf = false;
    bool endRecord = true;
    int maxRecordBytes = 255;

    QByteArray write(const QList<HexRegion> &regions)
    {
        QByteArray text;
        currentBase = -1;
        for (const HexRegion &region : regions) {
            int done = 0;
            while (done < region.bytes.size()) {
                const int address = region.address + done;
                // A record never runs past a 64 KiB boundary, where readers
                // disagree on wrapping.
                const int toBoundary = kSegmentSpan - (address % kSegmentSpan);
                const int length = std::min({ region.bytes.size() - done, toBoundary,
                                              int(random.bounded(1, maxRecordBytes + 1)) });
                const int base = address - address % kSegmentSpan;
                if (base != currentBase) {
                    text += baseRecord(base);
                    currentBase = base;
                }
                text += record(quint16(address - base), kData, region.bytes.mid(done, length))
                    + lineEnd();
                done += length;
            }
        }
        if (endRecord)
            text += QByteArray(":00000001FF") + lineEnd();
        return text;
    }

    // An image at address 0 as a sketch build writes it: 16-byte data records,
    // an extended linear address record at each 64 KiB.
    static QByteArray plain(const QByteArray &image, const QByteArray &lineEnd = "\r\n")
    {
        constexpr int kRecordBytes = 16;
        QByteArray text;
        for (int offset = 0; offset < image.size(); offset += kRecordBytes) {
            if (offset > 0 && offset % kSegmentSpan == 0) {
                QByteArray upper(2, '\0');
                upper[0] = char((offset / kSegmentSpan) >> 8);
                upper[1] = char((offset / kSegmentSpan) & 0xFF);
                text += record(0, kLinearBase, upper) + lineEnd;
            }
            text += record(quint16(offset % kSegmentSpan), kData, image.mid(offset, kRecordBytes))
                + lineEnd;
        }
        return text + ":00000001FF" + lineEnd;
    }

    // One record line without its line end.
    static QByteArray record(quint16 address, quint8 type, const QByteArray &data)
    {
        QByteArray bytes;
        bytes += char(data.size());
        bytes += char(address >> 8);
        bytes += char(address & 0xFF);
        bytes += char(type);
        bytes += data;
        quint8 sum = 0;
        for (char c : bytes)
            sum = quint8(sum + quint8(c));
        bytes += char(quint8(-sum));
        return ':' + bytes.toHex().toUpper();
    }

private:
    static constexpr int kSegmentSpan = 0x10000;
    static constexpr quint8 kData = 0x00;
    static constexpr quint8 kSegmentBase = 0x02;
    static constexpr quint8 kLinearBase = 0x04;

    QByteArray lineEnd() const { return crlf ? "\r\n" : "\n"; }

    QByteArray baseRecord(int base)
    {
        const bool segment
            = addressing == Segment || (addressing == Mixed && random.bounded(2) == 0);
        const quint16 value = quint16(segment ? base >> 4 : base >> 16);
        QByteArray data;
        data += char(value >> 8);
        data += char(value & 0xFF);
        return record(0, segment ? kSegmentBase : kLinearBase, data) + lineEnd();
    }

    QRandomGenerator &random;
    int currentBase = -1;
};
