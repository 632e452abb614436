#include "firmware/hexconversion.h"

#include "platform/pathkind.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <array>
#include <cstring>
#include <vector>

namespace {
// A record is count, two address bytes, type, data and checksum.
constexpr int kRecordOverheadBytes = 5;
constexpr int kMaxRecordDataBytes = 255;
constexpr int kMaxRecordBytes = kRecordOverheadBytes + kMaxRecordDataBytes;
constexpr int kAddressHighIndex = 1;
constexpr int kAddressLowIndex = 2;
constexpr int kTypeIndex = 3;
constexpr int kDataIndex = 4;
constexpr int kExtendedAddressBytes = 2;
// CS:IP or a 32-bit EIP.
constexpr int kStartAddressBytes = 4;

constexpr quint8 kDataRecord = 0x00;
constexpr quint8 kEndOfFileRecord = 0x01;
constexpr quint8 kExtendedSegmentRecord = 0x02;
constexpr quint8 kStartSegmentRecord = 0x03;
constexpr quint8 kExtendedLinearRecord = 0x04;
constexpr quint8 kStartLinearRecord = 0x05;
// Intel HEX defines the types 00 to 05; 03 and 05 are start addresses.
constexpr quint8 kLastRecordType = 0x05;
constexpr int kSegmentShift = 4;
constexpr int kLinearShift = 16;
constexpr int kByteShift = 8;
constexpr int kNibbleShift = 4;
constexpr int kHexBase = 16;
// What the HEX writer puts in one data record (the common choice of tools),
// and the span one extended linear address covers.
constexpr int kWrittenRecordBytes = 16;
constexpr int kSegmentSpan = 1 << kLinearShift;

// The usual spelling of the end-of-file record, taken without decoding.
constexpr char kEndOfFileLine[] = ":00000001FF";
constexpr int kEndOfFileLineLength = sizeof(kEndOfFileLine) - 1;
// Editors on Windows put a UTF-8 byte order mark before the first line.
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";
constexpr int kUtf8ByteOrderMarkLength = sizeof(kUtf8ByteOrderMark) - 1;

// Digit values 0-15; any other character maps to a value with high bits set,
// so or-ing the values of a whole record tells whether all were digits.
constexpr quint8 kNotHex = 0xF0;
constexpr quint8 kHighBits = 0xF0;

constexpr std::array<quint8, 256> makeDigitTable()
{
    std::array<quint8, 256> table {};
    for (int c = 0; c < 256; ++c) {
        if (c >= '0' && c <= '9')
            table[c] = quint8(c - '0');
        else if (c >= 'a' && c <= 'f')
            table[c] = quint8(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            table[c] = quint8(c - 'A' + 10);
        else
            table[c] = kNotHex;
    }
    return table;
}
constexpr std::array<quint8, 256> kDigitValue = makeDigitTable();

quint8 digitValue(char c)
{
    return kDigitValue[static_cast<unsigned char>(c)];
}

bool isTrailingBlank(char c)
{
    return c == '\r' || c == ' ' || c == '\t';
}

QString hexText(qint64 value)
{
    return QStringLiteral("0x") + QString::number(value, kHexBase).toUpper();
}

// Column (1-based) of the first character after the colon that is not a
// hexadecimal digit, or 0.
int firstBadColumn(const char *line, int length)
{
    for (int i = 1; i < length; ++i) {
        if (digitValue(line[i]) & kHighBits)
            return i + 1;
    }
    return 0;
}

QString badCharacterError(const char *line, int column)
{
    const unsigned char c = static_cast<unsigned char>(line[column - 1]);
    const QString shown = (c >= ' ' && c < 0x7F) ? QStringLiteral("'%1'").arg(QChar(c))
                                                 : QStringLiteral("byte %1").arg(hexText(c));
    return QStringLiteral("%1 at column %2 is not a hexadecimal digit").arg(shown).arg(column);
}

class HexReader
{
public:
    explicit HexReader(HexConversion &result)
        : result(result)
    {
    }

    // Returns false when reading ends (the end-of-file line or an error).
    bool readLine(const char *line, int length, int lineNumber);
    void finish();

private:
    // The line's digits into `record`, checked: digits only, as many bytes
    // as the count says, the checksum right.
    bool decodeRecord(const char *line, int length, int lineNumber);
    // What the decoded record does: move the base, end the file, or place data.
    bool takeRecord(int lineNumber);
    bool placeData(int count, int lineNumber);
    bool fail(int lineNumber, const QString &error)
    {
        result.error = error;
        result.errorLine = lineNumber;
        return false;
    }

    HexConversion &result;
    quint32 base = 0;
    qint64 end = 0;
    bool endOfFileSeen = false;
    std::array<quint8, kMaxRecordBytes> record {};
    // Which image bytes a record already gave: a second record for the same
    // address means the file is not one program.
    std::vector<bool> written;
};

bool HexReader::readLine(const char *line, int length, int lineNumber)
{
    if (lineNumber == 1 && length >= kUtf8ByteOrderMarkLength
        && std::memcmp(line, kUtf8ByteOrderMark, kUtf8ByteOrderMarkLength) == 0) {
        line += kUtf8ByteOrderMarkLength;
        length -= kUtf8ByteOrderMarkLength;
    }
    while (length > 0 && isTrailingBlank(line[length - 1]))
        --length;
    if (length == 0)
        return true;
    // A comment or an indented record would leave a hole that reads as zeros.
    if (line[0] != ':')
        return fail(lineNumber, QStringLiteral("the line does not start with ':'"));
    if (length == kEndOfFileLineLength && std::memcmp(line, kEndOfFileLine, length) == 0) {
        endOfFileSeen = true;
        return false;
    }
    return decodeRecord(line, length, lineNumber) && takeRecord(lineNumber);
}

bool HexReader::decodeRecord(const char *line, int length, int lineNumber)
{
    const int digits = length - 1;
    const int bytes = digits / 2;
    if (digits % 2 != 0 || bytes < kRecordOverheadBytes || bytes > kMaxRecordBytes) {
        if (const int column = firstBadColumn(line, length))
            return fail(lineNumber, badCharacterError(line, column));
        if (digits % 2 != 0)
            return fail(lineNumber, QStringLiteral("odd number of hexadecimal digits"));
        if (bytes < kRecordOverheadBytes)
            return fail(lineNumber, QStringLiteral("record too short"));
    }

    quint8 seen = 0;
    quint8 sum = 0;
    const int decoded = qMin(bytes, kMaxRecordBytes);
    for (int i = 0; i < decoded; ++i) {
        const quint8 high = digitValue(line[1 + 2 * i]);
        const quint8 low = digitValue(line[2 + 2 * i]);
        seen |= high | low;
        record[i] = quint8((high << kNibbleShift) | low);
        sum = quint8(sum + record[i]);
    }
    if (seen & kHighBits)
        return fail(lineNumber, badCharacterError(line, firstBadColumn(line, length)));

    const int count = record[0];
    if (bytes != count + kRecordOverheadBytes) {
        return fail(lineNumber,
                    QStringLiteral("byte count says %1 data bytes, the line holds %2")
                        .arg(count)
                        .arg(bytes - kRecordOverheadBytes));
    }
    if (sum != 0) {
        const quint8 given = record[bytes - 1];
        const quint8 expected = quint8(given - sum);
        return fail(lineNumber,
                    QStringLiteral("wrong checksum: %1 given, %2 expected")
                        .arg(hexText(given), hexText(expected)));
    }
    return true;
}

bool HexReader::takeRecord(int lineNumber)
{
    const int count = record[0];
    const quint8 type = record[kTypeIndex];
    // A type the format does not define: the file is something else, or
    // damaged where its checksum could not tell.
    if (type > kLastRecordType)
        return fail(
            lineNumber,
            QStringLiteral("record type %1, which Intel HEX does not define (00 to 05)")
                .arg(
                    QString::number(type, kHexBase).toUpper().rightJustified(2, QLatin1Char('0'))));
    if (type == kExtendedSegmentRecord || type == kExtendedLinearRecord) {
        if (count != kExtendedAddressBytes) {
            return fail(lineNumber,
                        QStringLiteral("address record with %1 bytes instead of %2")
                            .arg(count)
                            .arg(kExtendedAddressBytes));
        }
        const quint32 value = (quint32(record[kDataIndex]) << kByteShift) | record[kDataIndex + 1];
        base = value << (type == kExtendedSegmentRecord ? kSegmentShift : kLinearShift);
        return true;
    }
    // Start addresses carry no image bytes; one of another size is a damaged
    // record the checksum did not catch.
    if ((type == kStartSegmentRecord || type == kStartLinearRecord)
        && count != kStartAddressBytes) {
        return fail(lineNumber,
                    QStringLiteral("a start address record needs %1 data bytes, this one has %2")
                        .arg(kStartAddressBytes)
                        .arg(count));
    }
    // Also in lower case: whatever follows the end is not part of the program.
    if (type == kEndOfFileRecord) {
        endOfFileSeen = true;
        return false;
    }
    if (type != kDataRecord || count == 0)
        return true;
    return placeData(count, lineNumber);
}

bool HexReader::placeData(int count, int lineNumber)
{
    const quint32 offset
        = (quint32(record[kAddressHighIndex]) << kByteShift) | record[kAddressLowIndex];
    const qint64 start = qint64(base) + offset;
    if (start + count > kMaxImageSize) {
        return fail(lineNumber,
                    QStringLiteral("address %1 is at or beyond the 256 KiB flash limit")
                        .arg(hexText(qMax(start, qint64(kMaxImageSize)))));
    }
    if (start + count > end) {
        // The image grows with the highest address; the gap reads as zeros.
        result.image.append(QByteArray(int(start + count - end), '\0'));
        end = start + count;
        written.resize(size_t(end));
    }
    for (qint64 address = start; address < start + count; ++address) {
        if (written[size_t(address)]) {
            return fail(
                lineNumber,
                QStringLiteral("the record overlaps an earlier one at %1").arg(hexText(address)));
        }
        written[size_t(address)] = true;
    }
    std::memcpy(result.image.data() + start, record.data() + kDataIndex, size_t(count));
    return true;
}

void HexReader::finish()
{
    if (result.ok() && end == 0)
        fail(0, QStringLiteral("no data records"));
    // A file cut at a line boundary must not pass for a shorter program.
    if (result.ok() && !endOfFileSeen)
        fail(0, QStringLiteral("no end-of-file record"));
    result.image.resize(result.ok() ? int(end) : 0);
}
// Writes the bytes to a new file renamed over the old one; the system's
// reason when that fails, else an empty string.
QString replaceFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile output(path);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !writeAllBytes(output, bytes)
        || !output.commit())
        return output.errorString();
    return QString();
}

// A device or a FIFO takes the bytes where it is.
QString writeInPlace(const QString &path, const QByteArray &bytes)
{
    const OpenedFile opened = openStreamForWriting(path);
    if (opened.descriptor < 0)
        return opened.error;
    QFile output;
    if (!output.open(opened.descriptor, QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::AutoCloseHandle)) {
        // A QFile that did not open has not taken the descriptor over.
        closeDescriptor(opened.descriptor);
        return output.errorString();
    }
    if (!writeAllBytes(output, bytes))
        return output.errorString();
    return QString();
}

// Never anything but a regular file is replaced.
QString writeFileBytes(const QString &path, const QByteArray &bytes)
{
    switch (pathKind(path)) {
    case PathKind::Missing:
    case PathKind::RegularFile:
        break;
    case PathKind::Stream:
        return writeInPlace(path, bytes);
    case PathKind::Directory:
        return QStringLiteral("it is a directory");
    case PathKind::Other:
        return QStringLiteral("it is neither a regular file nor a device or FIFO");
    }
    return replaceFile(path, bytes);
}

// One record's line: count, address, type, data and the checksum that
// brings the sum of all its bytes to zero.
QByteArray hexRecord(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray record;
    record.append(static_cast<char>(data.size()));
    record.append(static_cast<char>(address >> kByteShift));
    record.append(static_cast<char>(address & 0xFF));
    record.append(static_cast<char>(type));
    record.append(data);
    quint8 sum = 0;
    for (const char byte : record)
        sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
    record.append(static_cast<char>(-sum & 0xFF));
    return ':' + record.toHex().toUpper() + "\r\n";
}
} // namespace

QString HexConversion::describe() const
{
    if (errorLine > 0)
        return QStringLiteral("line %1: %2").arg(errorLine).arg(error);
    return error;
}

HexConversion convertHexText(const QByteArray &text)
{
    HexConversion result;
    HexReader reader(result);
    const char *data = text.constData();
    const char *const stop = data + text.size();
    int lineNumber = 0;
    while (data < stop) {
        ++lineNumber;
        const void *newline = std::memchr(data, '\n', size_t(stop - data));
        const char *lineEnd = newline ? static_cast<const char *>(newline) : stop;
        if (!reader.readLine(data, int(lineEnd - data), lineNumber))
            break;
        data = lineEnd + 1;
    }
    reader.finish();
    return result;
}

ImageFileConversion convertHexFile(const QString &hexPath, QByteArray *image)
{
    ImageFileConversion result;
    const QString hexName = QFileInfo(hexPath).fileName();

    // A FIFO or a device would block the read or never end it.
    const QFileInfo info(hexPath);
    if (info.exists() && !info.isFile()) {
        result.status = ImageFileConversion::InputUnreadable;
        result.systemError = QStringLiteral("not a regular file");
        result.message = QStringLiteral("cannot open %1: %2").arg(hexPath, result.systemError);
        return result;
    }
    QFile input(hexPath);
    if (!input.open(QIODevice::ReadOnly)) {
        result.status = ImageFileConversion::InputUnreadable;
        result.systemError = input.errorString();
        result.message = QStringLiteral("cannot open %1: %2").arg(hexPath, result.systemError);
        return result;
    }
    // Read one byte past the limit so an oversized or endless input shows.
    const QByteArray text = input.read(kMaxHexTextSize + 1);
    if (input.error() != QFileDevice::NoError) {
        result.status = ImageFileConversion::InputUnreadable;
        result.systemError = input.errorString();
        result.message = QStringLiteral("cannot read %1: %2").arg(hexPath, result.systemError);
        return result;
    }
    if (text.size() > kMaxHexTextSize) {
        result.status = ImageFileConversion::BadHex;
        result.message = QStringLiteral("%1: larger than %2 MiB, not a firmware file")
                             .arg(hexName)
                             .arg(kMaxHexTextSize / (1024 * 1024));
        return result;
    }

    const HexConversion converted = convertHexText(text);
    if (!converted.ok()) {
        result.status = ImageFileConversion::BadHex;
        result.message = converted.errorLine > 0
            ? QStringLiteral("%1 line %2: %3")
                  .arg(hexName)
                  .arg(converted.errorLine)
                  .arg(converted.error)
            : QStringLiteral("%1: %2").arg(hexName, converted.error);
        return result;
    }
    *image = converted.image;
    result.imageBytes = image->size();
    return result;
}

bool writeAllBytes(QIODevice &output, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 step = output.write(bytes.constData() + done, bytes.size() - done);
        if (step <= 0)
            return false;
        done += step;
    }
    return true;
}

QByteArray hexTextOfImage(const QByteArray &image)
{
    QByteArray text;
    for (int offset = 0; offset < image.size(); offset += kWrittenRecordBytes) {
        if (offset > 0 && offset % kSegmentSpan == 0) {
            const quint16 upper = static_cast<quint16>(offset >> kLinearShift);
            QByteArray base;
            base.append(static_cast<char>(upper >> kByteShift));
            base.append(static_cast<char>(upper & 0xFF));
            text += hexRecord(kExtendedLinearRecord, 0, base);
        }
        text += hexRecord(kDataRecord, static_cast<quint16>(offset % kSegmentSpan),
                          image.mid(offset, kWrittenRecordBytes));
    }
    return text + hexRecord(kEndOfFileRecord, 0, QByteArray());
}

QString writeImageFile(const QString &path, const QByteArray &image)
{
    const bool raw = path.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive);
    const QString error = writeFileBytes(path, raw ? image : hexTextOfImage(image));
    return error.isEmpty() ? error : QStringLiteral("cannot write %1: %2").arg(path, error);
}

ImageFileConversion convertHexFileToImage(const QString &hexPath, const QString &imagePath)
{
    QByteArray image;
    ImageFileConversion result = convertHexFile(hexPath, &image);
    if (!result.ok())
        return result;

    const QString error = writeFileBytes(imagePath, image);
    if (!error.isEmpty()) {
        result.status = ImageFileConversion::OutputUnwritable;
        result.systemError = error;
        result.message = QStringLiteral("cannot write %1: %2").arg(imagePath, error);
    }
    return result;
}
