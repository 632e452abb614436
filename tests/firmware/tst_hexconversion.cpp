#include "firmware/hexconversion.h"
#include "firmwaretesting.h"
#include "hexwriter.h"
#include "testkit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <QLocalServer>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {
constexpr int kPropertyRounds = 150;
constexpr int kOracleRounds = 12;
constexpr int kMaxRegions = 10;
constexpr int kMaxRegionBytes = 3000;
constexpr int kObjcopyTimeoutMs = 20000;

QByteArray line(quint16 address, quint8 type, const QByteArray &hexData)
{
    return HexWriter::record(address, type, QByteArray::fromHex(hexData)) + '\n';
}

QByteArray data(quint16 address, const QByteArray &hexData)
{
    return line(address, 0x00, hexData);
}

QByteArray linearBase(quint16 upper)
{
    return line(0, 0x04, QByteArray::number(upper, 16).rightJustified(4, '0'));
}

QByteArray segmentBase(quint16 segment)
{
    return line(0, 0x02, QByteArray::number(segment, 16).rightJustified(4, '0'));
}

const QByteArray kEnd = ":00000001FF\n";

QByteArray sequence(int from, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += char(from + i);
    return bytes;
}

QByteArray zeros(int count)
{
    return QByteArray(count, '\0');
}

using TestKit::writeFile;

// Random regions inside the flash, each written over the ones before it.
QList<HexRegion> randomRegions(QRandomGenerator &random, bool disjoint)
{
    QList<HexRegion> regions;
    const int count = random.bounded(1, kMaxRegions + 1);
    QVector<bool> used(kMaxImageSize, false);
    for (int i = 0; i < count; ++i) {
        HexRegion region;
        const int length = random.bounded(1, kMaxRegionBytes + 1);
        region.address = random.bounded(kMaxImageSize - length + 1);
        if (disjoint) {
            bool clash = false;
            for (int a = region.address; a < region.address + length && !clash; ++a)
                clash = used[a];
            if (clash)
                continue;
            for (int a = region.address; a < region.address + length; ++a)
                used[a] = true;
        }
        for (int b = 0; b < length; ++b)
            region.bytes += char(random.bounded(256));
        regions << region;
    }
    return regions;
}

QByteArray flatten(const QList<HexRegion> &regions)
{
    QByteArray image;
    for (const HexRegion &region : regions) {
        const int end = region.address + region.bytes.size();
        if (image.size() < end)
            image.append(zeros(end - image.size()));
        image.replace(region.address, region.bytes.size(), region.bytes);
    }
    return image;
}

int lowestAddress(const QList<HexRegion> &regions)
{
    int lowest = kMaxImageSize;
    for (const HexRegion &region : regions)
        lowest = qMin(lowest, region.address);
    return lowest;
}
} // namespace

class HexConversionTest : public QObject
{
    Q_OBJECT

private slots:
    void convertsRecords_data();
    void convertsRecords();
    void refusesMalformedInput_data();
    void refusesMalformedInput();
    void randomImagesComeBack();
    void agreesWithObjcopy();

    void writesTheImageFile();
    void failuresLeaveThePreviousImage_data();
    void failuresLeaveThePreviousImage();
    void openReaderKeepsTheImageItStartedWith();
    void unwritableImageIsReported();
    void outputThatIsNoRegularFile_data();
    void outputThatIsNoRegularFile();
    void oversizedInputIsRefused();

private:
    QTemporaryDir scratch { QDir::currentPath() + QStringLiteral("/hexconversion-XXXXXX") };
};

void HexConversionTest::convertsRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("image");

    const QByteArray a = sequence(0x00, 16);
    const QByteArray b = sequence(0x10, 16);
    const QByteArray c = sequence(0x20, 16);

    QTest::newRow("ascending records concatenate")
        << data(0x0000, a.toHex()) + data(0x0010, b.toHex()) + data(0x0020, c.toHex()) + kEnd
        << a + b + c;
    QTest::newRow("gap reads as zero")
        << data(0x0000, a.toHex()) + data(0x0020, c.toHex()) + kEnd << a + zeros(16) + c;
    QTest::newRow("image starts at address zero")
        << data(0x0100, "AABB") + kEnd << zeros(0x100) + QByteArray::fromHex("AABB");
    QTest::newRow("lower-case digits")
        << data(0x0000, "a1b2c3").toLower() + kEnd << QByteArray::fromHex("A1B2C3");
    QByteArray crlf = data(0x0000, "0102") + data(0x0002, "0304") + kEnd;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CR LF reads like LF") << crlf << QByteArray::fromHex("01020304");
    QTest::newRow("last line without newline")
        << data(0x0000, "0102") + kEnd.chopped(1) << QByteArray::fromHex("0102");
    QTest::newRow("trailing blanks")
        << data(0x0000, "0102").replace("\n", " \t\n") + kEnd << QByteArray::fromHex("0102");
    QTest::newRow("byte order mark and blank lines") << "\xEF\xBB\xBF\n \r\n" + data(0x0000, "0102")
            + "\n" + kEnd << QByteArray::fromHex("0102");
    QTest::newRow("end record ends reading") << data(0x0000, "0102") + kEnd + data(0x0002, "0304")
            + ":ZZZZ\n" << QByteArray::fromHex("0102");
    QTest::newRow("lower-case end record ends reading too") << data(0x0000, "0102")
            + ":00000001ff\n" + data(0x0000, "0304") << QByteArray::fromHex("0102");
    QTest::newRow("start addresses skipped")
        << line(0, 0x03, "00001234") + data(0x0000, "0102") + line(0, 0x05, "00000000") + kEnd
        << QByteArray::fromHex("0102");
    QTest::newRow("zero-length data record")
        << data(0x0000, "0102") + data(0x0100, "") + kEnd << QByteArray::fromHex("0102");
    QTest::newRow("27-byte record")
        << data(0x0000, sequence(1, 27).toHex()) + kEnd << sequence(1, 27);
    QTest::newRow("255-byte record")
        << data(0x0000, sequence(0, 255).toHex()) + kEnd << sequence(0, 255);
    QTest::newRow("extended linear address")
        << data(0x0000, "0102") + linearBase(0x0001) + data(0x0000, "0304") + kEnd
        << QByteArray::fromHex("0102") + zeros(0x10000 - 2) + QByteArray::fromHex("0304");
    QTest::newRow("extended segment address")
        << segmentBase(0x1000) + data(0x0010, "AA") + kEnd << zeros(0x10010) + "\xAA";
    QTest::newRow("back to the low 64 KiB")
        << linearBase(0x0001) + data(0x0000, "AA") + linearBase(0x0000) + data(0x0000, "BB") + kEnd
        << "\xBB" + zeros(0xFFFF) + "\xAA";
    QTest::newRow("record running over a 64 KiB boundary continues linearly")
        << data(0xFFFE, "01020304") + kEnd << zeros(0xFFFE) + QByteArray::fromHex("01020304");
    QTest::newRow("last byte of the flash")
        << linearBase(0x0003) + data(0xFFFF, "5A") + kEnd << zeros(kMaxImageSize - 1) + "\x5A";
}

void HexConversionTest::convertsRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, image);
    const HexConversion result = convertHexText(text);
    QVERIFY2(result.ok(), qPrintable(result.describe()));
    QCOMPARE(result.image.size(), image.size());
    QCOMPARE(result.image, image);
}

void HexConversionTest::refusesMalformedInput_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("errorLine");
    QTest::addColumn<QString>("errorPart");

    const QByteArray good = data(0x0000, "0102");
    QTest::newRow("non-hex data character")
        << good + ":0200020003G4F5\n" + kEnd << 2 << "'G' at column 12";
    QTest::newRow("non-hex in the count") << good + data(0x0010, "0102") + ":X200020003040F\n"
                                          << 3 << "not a hexadecimal digit";
    QTest::newRow("control byte") << QByteArray(":02000000\x01"
                                                "102FB\n")
                                  << 1 << "byte 0x1";
    QTest::newRow("blank inside a record")
        << QByteArray(":0200000001 02FB\n") << 1 << "' ' at column 12";
    QTest::newRow("count larger than the line") << good
            + ":03000200030404\n" << 2 << "byte count says 3 data bytes, the line holds 2";
    QTest::newRow("count smaller than the line")
        << QByteArray(":01000000010203F9\n") << 1
        << "byte count says 1 data bytes, the line holds 3";
    QTest::newRow("odd number of digits") << QByteArray(":020000000102F\n") << 1 << "odd number";
    QTest::newRow("too short") << good + ":0000\n" << 2 << "too short";
    QTest::newRow("colon alone") << QByteArray(":\n") << 1 << "too short";
    QTest::newRow("wrong checksum") << good + data(0x0010, "0102") + ":020002000304F4\n"
                                    << 3 << "wrong checksum: 0xF4 given, 0xF5 expected";
    QTest::newRow("wrong checksum on an address record") << good + ":020000040001F8\n"
                                                         << 2 << "wrong checksum";
    QTest::newRow("address record of wrong size")
        << good + line(0, 0x04, "000100") << 2 << "address record with 3 bytes instead of 2";
    QTest::newRow("start segment address of 1 byte") << good + line(0, 0x03, "00")
            + kEnd << 2 << "a start address record needs 4 data bytes, this one has 1";
    QTest::newRow("start linear address of 5 bytes")
        << good + line(0, 0x05, "0000000000") + kEnd << 2 << "this one has 5";
    QTest::newRow("address beyond the flash")
        << good + linearBase(0x0004) + data(0x0000, "01") << 3 << "address 0x40000";
    QTest::newRow("record running past the flash")
        << linearBase(0x0003) + data(0xFFFF, "0102") << 2 << "address 0x40000";
    QTest::newRow("segment beyond the flash")
        << segmentBase(0x4000) + data(0x0000, "01") << 2 << "0x40000";
    QTest::newRow("overlong record") << QByteArray(":FF000000") + QByteArray(2 * 300, 'A') + "00\n"
                                     << 1 << "byte count says 255 data bytes, the line holds 300";
    QTest::newRow("cut at a line boundary") << good << 0 << "no end-of-file record";
    QTest::newRow("comment line") << good + "# note\n" + kEnd << 2 << "does not start with ':'";
    QTest::newRow("indented first record") << "  " + good + kEnd << 1 << "does not start with ':'";
    QTest::newRow("byte order mark after the first line")
        << good + "\xEF\xBB\xBF" + kEnd << 2 << "does not start with ':'";
    QTest::newRow("record type 06") << good + line(0, 0x06, "01") + kEnd << 2
                                    << "record type 06, which Intel HEX does not define";
    QTest::newRow("record type FF") << good + data(0x0002, "03") + line(0, 0xFF, "") + kEnd << 3
                                    << "record type FF, which Intel HEX does not define";
    QTest::newRow("overlapping records") << data(0x0000, "01020304") + data(0x0003, "FFEE") + kEnd
                                         << 2 << "overlaps an earlier one at 0x3";
    QTest::newRow("no data records") << kEnd << 0 << "no data records";
    QTest::newRow("empty text") << QByteArray() << 0 << "no data records";
    QTest::newRow("last line without newline is checked too")
        << good + ":0200020003" << 2 << "byte count says 2 data bytes, the line holds 0";
}

void HexConversionTest::refusesMalformedInput()
{
    QFETCH(QByteArray, text);
    QFETCH(int, errorLine);
    QFETCH(QString, errorPart);
    const HexConversion result = convertHexText(text);
    QVERIFY(!result.ok());
    QCOMPARE(result.errorLine, errorLine);
    QVERIFY2(result.error.contains(errorPart), qPrintable(result.error));
    QVERIFY(result.image.isEmpty());
    if (errorLine > 0)
        QVERIFY(result.describe().startsWith(QStringLiteral("line %1: ").arg(errorLine)));
}

void HexConversionTest::randomImagesComeBack()
{
    QRandomGenerator random(20240501);
    for (int round = 0; round < kPropertyRounds; ++round) {
        HexWriter writer(random);
        writer.crlf = random.bounded(2) == 1;
        writer.endRecord = random.bounded(4) != 0;
        writer.maxRecordBytes = random.bounded(2) ? 16 : 255;
        const QList<HexRegion> regions = randomRegions(random, true);
        const QByteArray text = writer.write(regions);
        const HexConversion result = convertHexText(text);
        if (!writer.endRecord) {
            QCOMPARE(result.error, QStringLiteral("no end-of-file record"));
            continue;
        }
        QVERIFY2(result.ok(),
                 qPrintable(QStringLiteral("round %1: %2").arg(round).arg(result.describe())));
        QVERIFY2(result.image == flatten(regions), qPrintable(QString::number(round)));
    }
}

void HexConversionTest::agreesWithObjcopy()
{
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        QSKIP("objcopy (binutils) is not installed");
    QRandomGenerator random(77);
    for (int round = 0; round < kOracleRounds; ++round) {
        HexWriter writer(random);
        writer.crlf = round % 2 == 1;
        // objcopy adds a segment base and a linear base together, where the
        // last one given wins here; files mix them in no real toolchain.
        writer.addressing = round % 2 ? HexWriter::Linear : HexWriter::Segment;
        const QList<HexRegion> regions = randomRegions(random, true);
        const QString hexPath = scratch.filePath(QStringLiteral("oracle%1.hex").arg(round));
        const QString binPath = scratch.filePath(QStringLiteral("oracle%1.bin").arg(round));
        QVERIFY(writeFile(hexPath, writer.write(regions)));

        QProcess process;
        process.start(objcopy, { "-I", "ihex", "-O", "binary", hexPath, binPath });
        QVERIFY(process.waitForFinished(kObjcopyTimeoutMs));
        QCOMPARE(process.exitCode(), 0);

        const HexConversion ours = convertHexText(fileContents(hexPath));
        QVERIFY2(ours.ok(), qPrintable(ours.describe()));
        // objcopy's output starts at the lowest address given; ours at zero.
        const int lowest = lowestAddress(regions);
        QCOMPARE(ours.image.left(lowest), zeros(lowest));
        QVERIFY2(ours.image.mid(lowest) == fileContents(binPath),
                 qPrintable(QString::number(round)));
    }
}

void HexConversionTest::writesTheImageFile()
{
    const QString hexPath = scratch.filePath(QStringLiteral("sketch.ino.hex"));
    const QString imagePath = scratch.filePath(QStringLiteral("update.bin"));
    QVERIFY(writeFile(hexPath, data(0x0000, "0102") + data(0x0004, "0506") + kEnd));
    QVERIFY(writeFile(imagePath, QByteArray(1000, 'x')));

    const ImageFileConversion result = convertHexFileToImage(hexPath, imagePath);
    QVERIFY2(result.ok(), qPrintable(result.message));
    // Replaced, not overwritten in place: no stale tail of the old image.
    QCOMPARE(fileContents(imagePath), QByteArray::fromHex("010200000506"));
    // Nothing of the replacement is left lying around.
    QCOMPARE(QDir(scratch.path()).entryList({ "update.bin*" }, QDir::Files),
             QStringList { "update.bin" });
}

void HexConversionTest::failuresLeaveThePreviousImage_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    const QByteArray good = data(0x0000, "0102");
    QTest::newRow("bad digit") << good + ":0200020003G4F5\n"
                               << "bad.hex line 2: 'G' at column 12 is not a hexadecimal digit";
    QTest::newRow("count") << good + data(0x0010, "0102") + ":03000200030404\n"
                           << "bad.hex line 3: byte count says 3 data bytes, the line holds 2";
    QTest::newRow("checksum") << good + ":020002000304F4\n"
                              << "bad.hex line 2: wrong checksum: 0xF4 given, 0xF5 expected";
    QTest::newRow("beyond the flash")
        << good + linearBase(0x0004) + data(0x0000, "01")
        << "bad.hex line 3: address 0x40000 is at or beyond the 256 KiB flash limit";
    QTest::newRow("nothing in it") << QByteArray("\n") << "bad.hex: no data records";
}

void HexConversionTest::failuresLeaveThePreviousImage()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    const QString hexPath = scratch.filePath(QStringLiteral("bad.hex"));
    const QString imagePath = scratch.filePath(QStringLiteral("update.bin"));
    const QByteArray previous = sequence(0x40, 40);
    QVERIFY(writeFile(hexPath, text));
    QVERIFY(writeFile(imagePath, previous));

    const ImageFileConversion result = convertHexFileToImage(hexPath, imagePath);
    QCOMPARE(result.status, ImageFileConversion::BadHex);
    QCOMPARE(result.message, message);
    QCOMPARE(fileContents(imagePath), previous);

    const ImageFileConversion missing
        = convertHexFileToImage(scratch.filePath(QStringLiteral("missing.hex")), imagePath);
    QCOMPARE(missing.status, ImageFileConversion::InputUnreadable);
    // The system's own words for a missing file.
    QFile absent(scratch.filePath(QStringLiteral("missing.hex")));
    QVERIFY(!absent.open(QIODevice::ReadOnly));
    QCOMPARE(missing.systemError, absent.errorString());
    QCOMPARE(fileContents(imagePath), previous);

    const ImageFileConversion folder = convertHexFileToImage(scratch.path(), imagePath);
    QCOMPARE(folder.status, ImageFileConversion::InputUnreadable);
    QCOMPARE(fileContents(imagePath), previous);
#ifdef Q_OS_UNIX
    // A FIFO with no writer would block the open for ever.
    const QString fifo = scratch.filePath(QStringLiteral("fifo.hex"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0 || QFile::exists(fifo));
    QCOMPARE(convertHexFileToImage(fifo, imagePath).systemError,
             QStringLiteral("not a regular file"));
#endif
}

void HexConversionTest::openReaderKeepsTheImageItStartedWith()
{
    const QString hexPath = scratch.filePath(QStringLiteral("next.hex"));
    const QString imagePath = scratch.filePath(QStringLiteral("update.bin"));
    const QByteArray first = sequence(0x01, 64);
    QVERIFY(writeFile(imagePath, first));
    QFile reader(imagePath);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(reader.read(16), first.left(16));

    QVERIFY(writeFile(hexPath, data(0x0000, "FFFF") + kEnd));
#ifdef Q_OS_WIN
    // Windows does not replace a file that is open: the conversion fails
    // and says so, and the image stays whole for its reader.
    const ImageFileConversion refused = convertHexFileToImage(hexPath, imagePath);
    QCOMPARE(refused.status, ImageFileConversion::OutputUnwritable);
    QCOMPARE(reader.readAll(), first.mid(16));
    QCOMPARE(fileContents(imagePath), first);
#else
    QVERIFY(convertHexFileToImage(hexPath, imagePath).ok());
    QCOMPARE(reader.readAll(), first.mid(16));
    QCOMPARE(fileContents(imagePath), QByteArray("\xFF\xFF"));
#endif
}

void HexConversionTest::unwritableImageIsReported()
{
    const QString hexPath = scratch.filePath(QStringLiteral("fine.hex"));
    QVERIFY(writeFile(hexPath, data(0x0000, "0102") + kEnd));
    const QString imagePath = scratch.filePath(QStringLiteral("no-such-folder/update.bin"));
    const ImageFileConversion result = convertHexFileToImage(hexPath, imagePath);
    QCOMPARE(result.status, ImageFileConversion::OutputUnwritable);
    QVERIFY(!result.systemError.isEmpty());
    QVERIFY(result.message.startsWith(QStringLiteral("cannot write ")));
    QVERIFY(!QFile::exists(imagePath));
}

// Nothing but a regular file is replaced: a device or a FIFO takes the image
// where it is, anything else is refused; what the path named stays.
void HexConversionTest::outputThatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal"); // empty: written
#ifdef Q_OS_UNIX
    QTest::newRow("a FIFO") << "fifo" << QString();
    QTest::newRow("a character device") << "device" << QString();
    QTest::newRow("a socket") << "socket"
                              << "it is neither a regular file nor a device or FIFO";
#endif
    QTest::newRow("a folder") << "folder"
                              << "it is a directory";
}

void HexConversionTest::outputThatIsNoRegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, refusal);
    const QString hexPath = scratch.filePath(QStringLiteral("out.hex"));
    QVERIFY(writeFile(hexPath, data(0x0000, "0102") + kEnd));
    const QString path = scratch.filePath(kind);
    if (kind == "folder")
        QVERIFY(QDir().mkdir(path));
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    // The read end, opened first, lets the conversion open the write end.
    int reader = -1;
    if (kind == "fifo" && ::mkfifo(name.constData(), 0600) == 0)
        reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(kind != "fifo" || reader >= 0);
    // A null device of its own: the system's is not put at stake.
    if (kind == "device" && ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        QSKIP("making a device node needs root");
    QLocalServer socket;
    QVERIFY(kind != "socket" || socket.listen(path));
    struct stat before;
    QCOMPARE(::lstat(name.constData(), &before), 0);
#endif

    const ImageFileConversion result = convertHexFileToImage(hexPath, path);
    QCOMPARE(result.message,
             refusal.isEmpty() ? QString()
                               : QStringLiteral("cannot write %1: %2").arg(path, refusal));
#ifdef Q_OS_UNIX
    struct stat after;
    QCOMPARE(::lstat(name.constData(), &after), 0);
    QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    char bytes[4] = {};
    if (reader >= 0) {
        QCOMPARE(::read(reader, bytes, sizeof bytes), ssize_t(2));
        ::close(reader);
        QCOMPARE(QByteArray(bytes, 2), QByteArray::fromHex("0102"));
    }
#else
    QVERIFY(QFileInfo(path).isDir());
#endif
}

void HexConversionTest::oversizedInputIsRefused()
{
    const QString hexPath = scratch.filePath(QStringLiteral("huge.hex"));
    const QString imagePath = scratch.filePath(QStringLiteral("update.bin"));
    QVERIFY(writeFile(imagePath, "old"));
    QFile huge(hexPath);
    QVERIFY(huge.open(QIODevice::WriteOnly));
    QVERIFY(huge.resize(kMaxHexTextSize + 1));
    huge.close();
    const ImageFileConversion result = convertHexFileToImage(hexPath, imagePath);
    QCOMPARE(result.status, ImageFileConversion::BadHex);
    QVERIFY2(result.message.contains(QStringLiteral("not a firmware file")),
             qPrintable(result.message));
    QCOMPARE(fileContents(imagePath), QByteArray("old"));
    QFile::remove(hexPath);
}

QTEST_GUILESS_MAIN(HexConversionTest)
#include "tst_hexconversion.moc"
