#include "firmware/defaultfirmware.h"
#include "firmware/listingscan.h"
#include "firmwaretesting.h"
#include "platform/commandshell.h"
#include "testkit.h"
#include "widgetprobe.h"

#include <QtTest>

namespace {
const char kSketch[] = ":100000000C945C000C946E000C946E000C946E00CA\n:00000001FF\n";

QString dirEntry(const QString &name)
{
    return QStringLiteral("05/06/2016  10:03 AM    <DIR>          ") + name;
}

QString fileEntry(const QString &name)
{
    return QStringLiteral("05/06/2016  10:03 AM             1,234 ") + name;
}

// What the interpreter prints for the locator's lines, in its own shape.
QString interpreterOutput(const QStringList &buildEntries, const QStringList &hexEntries = {},
                          const QString &dir = QString())
{
    QStringList lines = {
        "Microsoft Windows [Version 10.0.19045.3803]",
        "(c) Microsoft Corporation. All rights reserved.",
        "",
        "C:\\Users\\ann>c:",
        "",
        "C:\\Users\\ann>cd \\Users\\ann\\AppData\\Local\\Temp",
        "",
        "C:\\Users\\ann\\AppData\\Local\\Temp>dir D build* /o-d/tw",
        " Volume in drive C has no label.",
        " Volume Serial Number is 1234-ABCD",
        "",
        " Directory of C:\\Users\\ann\\AppData\\Local\\Temp",
        "",
    };
    lines << buildEntries;
    lines << QStringLiteral("               0 File(s)              0 bytes")
          << QStringLiteral("               %1 Dir(s)  12,345,678 bytes free")
                 .arg(buildEntries.size())
          << QString();
    if (!dir.isEmpty()) {
        lines << QStringLiteral("C:\\Users\\ann\\AppData\\Local\\Temp>cd ") + dir << QString()
              << QStringLiteral("C:\\Users\\ann\\AppData\\Local\\Temp\\%1>dir *.hex  /o-d/tw ")
                     .arg(dir)
              << QStringLiteral(" Directory of C:\\Users\\ann\\AppData\\Local\\Temp\\") + dir
              << QString() << hexEntries
              << QStringLiteral("               %1 File(s)         12,345 bytes")
                     .arg(hexEntries.size())
              << QString();
    }
    lines << QStringLiteral("C:\\Users\\ann\\AppData\\Local\\Temp>");
    return lines.join(QStringLiteral("\r\n"));
}

QString padTo(QString text, int length)
{
    return text + QString(length - text.size(), QLatin1Char(' '));
}

QStringList debugMessages;
QtMessageHandler previousHandler = nullptr;

void recordDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        debugMessages << message;
    previousHandler(type, context, message);
}
} // namespace

class LocatorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void buildDirectoryInListing_data();
    void buildDirectoryInListing();
    void hexFileInListing_data();
    void hexFileInListing();
    void generateTimeText_data();
    void generateTimeText();

    void emulationListsTheTemporaryDirectory();
    void emulationFollowsTheHexCommands();

    void newestBuildOnRealFolders();
    void newerCppHexWins();
    void hexSearchInTheFolderGiven();
    void nothingFoundKeepsThePreviousChoice();
    void logGrowsByOneListingPerRun();
    void logDropsItsOldestHalfPastTheLimit_data();
    void logDropsItsOldestHalfPastTheLimit();
    void logThatIsNoRegularFile_data();
    void logThatIsNoRegularFile();
    void readGenerateTime();

    void laterGenerationsCompeteWithBuildTmp();
    void laterBuildInTheCacheDirectory();
};

void LocatorTest::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordDebug);
}

void LocatorTest::buildDirectoryInListing_data()
{
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QString>("expected"); // null: nothing found

    const QString none;
    QTest::newRow("two build folders, newest first")
        << interpreterOutput({ dirEntry("build222.tmp"), dirEntry("build111.tmp") })
        << "build222.tmp";
    QTest::newRow("no folder") << interpreterOutput({}) << none;
    QTest::newRow("folders without build")
        << interpreterOutput({ dirEntry("other"), fileEntry("build1.tmp") }) << none;
    QTest::newRow("build without .tmp")
        << interpreterOutput({ dirEntry("build_cache"), fileEntry("notes.tmp") }) << none;
    QTest::newRow("newer build folder that is no .tmp is passed over")
        << interpreterOutput({ dirEntry("build_cache"), dirEntry("build111.tmp") })
        << "build111.tmp";
    QTest::newRow("only a .tmp prefix")
        << interpreterOutput({ dirEntry("build1.tmp.old") }) << none;
    QTest::newRow("name with blanks")
        << interpreterOutput({ dirEntry("build 7.tmp") }) << "build 7.tmp";
    const QString longest = QStringLiteral("build") + QString(90, 'x') + QStringLiteral(".tmp");
    QTest::newRow("99 characters") << interpreterOutput({ dirEntry(longest) }) << longest;
    QTest::newRow("100 characters")
        << interpreterOutput({ dirEntry(longest + "x").replace(".tmpx", "x.tmp") }) << none;
    QTest::newRow("characters the interpreter acts on")
        << interpreterOutput({ dirEntry("build&calc.tmp"), dirEntry("build%x%.tmp") }) << none;
    QTest::newRow("unix line ends") << dirEntry("build5.tmp") + "\n"
                                    << "build5.tmp";
    QTest::newRow("marker with nothing after it") << QStringLiteral("xx<DIR>") << none;
    QTest::newRow("too short") << QStringLiteral("<DIR>") << none;

    const QString entry = QStringLiteral("\r\n") + dirEntry("build9.tmp") + QStringLiteral("\r\n");
    QTest::newRow("65,535 characters")
        << padTo(QString(), kMaxListingLength - entry.size()) + entry << "build9.tmp";
    QTest::newRow("65,536 characters")
        << padTo(QString(), kMaxListingLength + 1 - entry.size()) + entry << none;
}

void LocatorTest::buildDirectoryInListing()
{
    QFETCH(QString, listing);
    QFETCH(QString, expected);
    TestKit::compareFound(::buildDirectoryInListing(listing), expected);
}

void LocatorTest::hexFileInListing_data()
{
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QString>("expected");

    const QString none;
    const QStringList builds = { dirEntry("build222.tmp") };
    QTest::newRow("sketch beside its bootloader build") << interpreterOutput(
        builds, { fileEntry("sketch.ino.with_bootloader.hex"), fileEntry("sketch.ino.hex") },
        "build222.tmp") << "sketch.ino.hex";
    QTest::newRow("newer .cpp.hex first") << interpreterOutput(
        builds, { fileEntry("old.cpp.hex"), fileEntry("new.ino.hex") }, "build222.tmp")
                                          << "old.cpp.hex";
    QTest::newRow("newer .ino.hex first") << interpreterOutput(
        builds, { fileEntry("a.ino.hex"), fileEntry("b.cpp.hex") }, "build222.tmp")
                                          << "a.ino.hex";
    QTest::newRow("name with blanks is cut after the last blank")
        << interpreterOutput(builds, { fileEntry("my blink sketch.ino.hex") }, "build222.tmp")
        << "sketch.ino.hex";
    QTest::newRow("only the bootloader build") << interpreterOutput(
        builds, { fileEntry("sketch.ino.with_bootloader.hex") }, "build222.tmp")
                                               << none;
    QTest::newRow("no hex files") << interpreterOutput(builds, {}, "build222.tmp") << none;
    QTest::newRow("non-Latin name kept") << interpreterOutput(
        builds, { fileEntry(QString::fromUtf8("\xe8\xae\xa1\xe6\x95\xb0.ino.hex")) },
        "build222.tmp") << QString::fromUtf8("\xe8\xae\xa1\xe6\x95\xb0.ino.hex");
    QTest::newRow("name at the start of a line")
        << QStringLiteral("x\nblink.ino.hex\n") << "blink.ino.hex";
    QTest::newRow("name at the start of the text")
        << QStringLiteral("blink.ino.hex\n") << "blink.ino.hex";
    const QString longest = QString(41, 'n') + QStringLiteral(".ino.hex");
    QTest::newRow("49 characters") << fileEntry(longest) + "\r\n" << longest;
    QTest::newRow("50 characters") << fileEntry("n" + longest) + "\r\n" << none;
    QTest::newRow("ending with nothing after it") << fileEntry("a.ino.hex") << none;
    QTest::newRow("too short") << QStringLiteral(".ino.hex") << none;
    const QString entry = fileEntry("big.ino.hex") + QStringLiteral("\r\n");
    QTest::newRow("65,535 characters")
        << padTo(QString(), kMaxListingLength - entry.size()) + entry << "big.ino.hex";
    QTest::newRow("65,536 characters")
        << padTo(QString(), kMaxListingLength + 1 - entry.size()) + entry << none;
}

void LocatorTest::hexFileInListing()
{
    QFETCH(QString, listing);
    QFETCH(QString, expected);
    TestKit::compareFound(::hexFileInListing(listing), expected);
}

void LocatorTest::generateTimeText_data()
{
    QTest::addColumn<QDateTime>("lastWrite");
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("text");
    // POSIX zone texts: "UTC-8" is eight hours ahead of UTC.
    const QByteArray china = "UTC-8";
    QTest::newRow("morning") << utc(2016, 5, 6, 2, 3, 4) << china << "2016-05-06 10:03:04";
    QTest::newRow("unpadded hour") << utc(2016, 5, 6, 0, 5, 9) << china << "2016-05-06 8:05:09";
    QTest::newRow("past midnight") << utc(2016, 5, 6, 23, 30, 0) << china << "2016-05-07 7:30:00";
    QTest::newRow("exactly midnight") << utc(2016, 5, 6, 16, 0, 0) << china << "2016-05-07 0:00:00";
    QTest::newRow("into a leap day") << utc(2016, 2, 28, 20, 0, 1) << china << "2016-02-29 4:00:01";
    QTest::newRow("into a new year")
        << utc(2016, 12, 31, 17, 59, 59) << china << "2017-01-01 1:59:59";
    QTest::newRow("given in another zone")
        << QDateTime(QDate(2016, 5, 6), QTime(12, 0), Qt::OffsetFromUTC, 3600 * 5) << china
        << "2016-05-06 15:00:00";
    QTest::newRow("local zone UTC")
        << utc(2016, 5, 6, 2, 3, 4) << QByteArray("UTC0") << "2016-05-06 2:03:04";
    QTest::newRow("local zone behind UTC")
        << utc(2016, 5, 6, 2, 3, 4) << QByteArray("UTC+5") << "2016-05-05 21:03:04";
}

void LocatorTest::generateTimeText()
{
    QFETCH(QDateTime, lastWrite);
    QFETCH(QByteArray, zone);
    QFETCH(QString, text);
    const QByteArray before = qgetenv("TZ");
    qputenv("TZ", zone);
    const QString shown = ::generateTimeText(lastWrite);
    qputenv("TZ", before);
    QCOMPARE(shown, text);
}

void LocatorTest::emulationListsTheTemporaryDirectory()
{
#ifdef Q_OS_WIN
    QSKIP("Windows runs its own interpreter, not the emulation");
#endif
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-emulation"));
    QVERIFY(tmp.makeFolder("build111.tmp"));
    QVERIFY(tmp.makeFolder("BUILD222.tmp"));
    QVERIFY(tmp.makeFolder("other"));
    QVERIFY(writeFileAt(tmp.filePath("buildnotes.txt"), "12345", utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(setModificationTime(tmp.filePath("build111.tmp"), utc(2019, 1, 1, 0, 0, 0)));
    QVERIFY(setModificationTime(tmp.filePath("BUILD222.tmp"), utc(2021, 1, 1, 0, 0, 0)));

    const QString listing = runCommandInterpreter(buildDirectoryCommands(QStringLiteral("ann")));
    QVERIFY2(listing.startsWith(" Directory of " + QDir::toNativeSeparators(tmp.path) + "\n\n"),
             qPrintable(listing));
    QStringList entries = listing.split('\n');
    entries = entries.filter(QRegularExpression("^\\d{4}/"));
    // Newest first; wildcards match regardless of case; "other" is no match.
    QCOMPARE(entries.size(), 3);
    QVERIFY(entries[0].contains("<DIR>") && entries[0].endsWith(" BUILD222.tmp"));
    QVERIFY(!entries[1].contains("<DIR>") && entries[1].endsWith(" 5 buildnotes.txt"));
    QVERIFY(entries[2].contains("<DIR>") && entries[2].endsWith(" build111.tmp"));
    QCOMPARE(interpreterTemporaryDirectory(QStringLiteral("ann")),
             QDir::toNativeSeparators(tmp.path));

    // The user name in the command lines does not matter here.
    QCOMPARE(runCommandInterpreter(buildDirectoryCommands(QString())), listing);
    QVERIFY(runCommandInterpreter({ "cd \\Users\\ann\\AppData\\Local\\Temp\n", "dir nothing*\n" })
                .endsWith("File Not Found\n"));
    QCOMPARE(runCommandInterpreter({ "format c:\n" }),
             QStringLiteral("'format' is not recognized as an internal or external command,\n"
                            "operable program or batch file.\n"));
}

void LocatorTest::emulationFollowsTheHexCommands()
{
#ifdef Q_OS_WIN
    QSKIP("Windows runs its own interpreter, not the emulation");
#endif
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-emulation-hex"));
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/a.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/a.ino.with_bootloader.hex"), kSketch,
                        utc(2020, 1, 2, 0, 0, 0)));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/a.ino.elf"), "elf", utc(2020, 1, 3, 0, 0, 0)));

    const QString listing = runCommandInterpreter(hexFileCommands("ann", "build1.tmp"));
    const int second
        = listing.indexOf(" Directory of " + QDir::toNativeSeparators(tmp.filePath("build1.tmp")));
    QVERIFY2(second > 0, qPrintable(listing));
    const QString hexPart = listing.mid(second);
    QVERIFY(hexPart.indexOf("a.ino.with_bootloader.hex") < hexPart.indexOf("a.ino.hex"));
    QVERIFY(!hexPart.contains("a.ino.elf"));
    QCOMPARE(::hexFileInListing(listing), std::optional<QString>("a.ino.hex"));

    // A folder that is not there, or a path that leaves the directory, is refused.
    for (const QString &dir :
         { QStringLiteral("missing.tmp"), QStringLiteral("../x"), QStringLiteral("..") }) {
        const QString refused = runCommandInterpreter(hexFileCommands("ann", dir));
        QVERIFY2(refused.contains("The system cannot find the path specified.\n"), qPrintable(dir));
    }
}

void LocatorTest::newestBuildOnRealFolders()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-newest"));
    const QDateTime sketchTime = utc(2016, 5, 6, 23, 30, 0);
    QVERIFY(tmp.makeFolder("build111.tmp"));
    QVERIFY(tmp.makeFolder("build222.tmp"));
    QVERIFY(
        writeFileAt(tmp.filePath("build111.tmp/old.ino.hex"), kSketch, utc(2016, 5, 7, 0, 0, 0)));
    QVERIFY(writeFileAt(tmp.filePath("build222.tmp/sketch.ino.hex"), kSketch, sketchTime));
    QVERIFY(writeFileAt(tmp.filePath("build222.tmp/sketch.ino.with_bootloader.hex"), kSketch,
                        sketchTime.addSecs(5)));
    // The folder written last wins, whatever its files' times.
    QVERIFY(setModificationTime(tmp.filePath("build111.tmp"), utc(2016, 5, 1, 0, 0, 0)));
    QVERIFY(setModificationTime(tmp.filePath("build222.tmp"), utc(2016, 5, 2, 0, 0, 0)));

    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    QVERIFY(probe.invoke("update_hex_file"));

    const QString expected = QDir::toNativeSeparators(tmp.filePath("build222.tmp/sketch.ino.hex"));
    QCOMPARE(probe.defaultPath(), expected);
    QCOMPARE(probe.generateTime(), QStringLiteral("2016-05-07 7:30:00"));
    Ui_Widget &ui = probe.ui();
    QCOMPARE(ui.lineEdit_2->text(), expected);
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("sketch.ino.hex"));
    QCOMPARE(probe.currentFileName(), QStringLiteral("sketch.ino.hex"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2016-05-07 7:30:00"));

    // A newer build folder takes over on the next run.
    QVERIFY(tmp.makeFolder("build333.tmp"));
    QVERIFY(
        writeFileAt(tmp.filePath("build333.tmp/next.cpp.hex"), kSketch, utc(2016, 5, 8, 1, 0, 0)));
    QVERIFY(setModificationTime(tmp.filePath("build333.tmp"), utc(2016, 5, 3, 0, 0, 0)));
    QVERIFY(probe.invoke("update_hex_file"));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("next.cpp.hex"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2016-05-08 9:00:00"));
}

void LocatorTest::newerCppHexWins()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-cpp"));
    QVERIFY(tmp.makeFolder("build5.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build5.tmp/a.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(writeFileAt(tmp.filePath("build5.tmp/b.cpp.hex"), kSketch, utc(2020, 1, 2, 0, 0, 0)));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    probe.findBuildDir();
    QVERIFY(probe.defaultPath().endsWith(QDir::separator() + QStringLiteral("b.cpp.hex")));

    QVERIFY(setModificationTime(tmp.filePath("build5.tmp/a.ino.hex"), utc(2020, 1, 3, 0, 0, 0)));
    probe.findBuildDir();
    QVERIFY(probe.defaultPath().endsWith(QDir::separator() + QStringLiteral("a.ino.hex")));
    QCOMPARE(probe.generateTime(), QStringLiteral("2020-01-03 8:00:00"));
}

void LocatorTest::hexSearchInTheFolderGiven()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-given"));
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(tmp.makeFolder("build2.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/one.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(writeFileAt(tmp.filePath("build2.tmp/two.ino.hex"), kSketch, utc(2020, 1, 2, 0, 0, 0)));
    QVERIFY(setModificationTime(tmp.filePath("build2.tmp"), utc(2020, 1, 9, 0, 0, 0)));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    // The lines the interpreter is fed, blanks and all (kept as users know
    // them: see docs/kept-from-the-design.md).
    QCOMPARE(hexFileCommands("ann", "build1.tmp"),
             QStringList({ "c:\n", "cd \\Users\\ann\\AppData\\Local\\Temp\n",
                           "dir D build* /o-d/tw\n", "cd build1.tmp\n", "dir *.hex  /o-d/tw \n" }));
    // Not the newest folder: the one it is given.
    probe.findHexInDir(QStringLiteral("build1.tmp"));
    QCOMPARE(probe.defaultPath(), QDir::toNativeSeparators(tmp.filePath("build1.tmp/one.ino.hex")));
    QCOMPARE(probe.generateTime(), QStringLiteral("2020-01-01 8:00:00"));
    QFile::remove(QStringLiteral("log.txt"));
}

void LocatorTest::nothingFoundKeepsThePreviousChoice()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-nothing"));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    probe.setDefaultPath(QStringLiteral("previous.ino.hex"));
    probe.setGenerateTime(QStringLiteral("2000-01-01 8:00:00"));

    // No build folder at all.
    probe.findBuildDir();
    QCOMPARE(probe.defaultPath(), QStringLiteral("previous.ino.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("2000-01-01 8:00:00"));

    // A build folder with only the bootloader image in it.
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/s.ino.with_bootloader.hex"), kSketch,
                        utc(2020, 1, 1, 0, 0, 0)));
    debugMessages.clear();
    probe.findBuildDir();
    QCOMPARE(probe.defaultPath(), QStringLiteral("previous.ino.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("2000-01-01 8:00:00"));
    QVERIFY2(debugMessages.contains(QStringLiteral("can now get hex file")),
             qPrintable(debugMessages.join('|')));

    // The window keeps showing it.
    QVERIFY(probe.invoke("update_hex_file"));
    QCOMPARE(probe.ui().lineEdit_2->text(), QStringLiteral("previous.ino.hex"));
    QCOMPARE(probe.ui().label_2->text(), QStringLiteral("2000-01-01 8:00:00"));
}

void LocatorTest::logGrowsByOneListingPerRun()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-log"));
    QFile::remove(QStringLiteral("log.txt"));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;

    // Without a build folder there is no second listing to keep.
    probe.findBuildDir();
    QVERIFY(!QFile::exists(QStringLiteral("log.txt")));

    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/s.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    const QByteArray marker = QFile::encodeName(
        " Directory of " + QDir::toNativeSeparators(tmp.filePath("build1.tmp")));
#ifdef Q_OS_WIN
    // The listing ends with the free space, which moves between runs, and
    // Wine's interpreter writes "Directory of" without the leading blank.
    const QByteArray folderMarker = marker.trimmed().toLower();
    for (int run = 1; run <= 3; ++run) {
        probe.findBuildDir();
        const QByteArray log = fileContents(QStringLiteral("log.txt")).toLower();
        QCOMPARE(log.count(folderMarker), run);
    }
#else
    const QByteArray listing
        = runCommandInterpreter(hexFileCommands(QString(), "build1.tmp")).toLocal8Bit();
    for (int run = 1; run <= 3; ++run) {
        probe.findBuildDir();
        const QByteArray log = fileContents(QStringLiteral("log.txt"));
        QCOMPARE(log.count(marker), run);
        QCOMPARE(log, listing.repeated(run));
    }
#endif
    QFile::remove(QStringLiteral("log.txt"));
}

// The log the window keeps stays under 8 MiB: a listing that takes it past
// the limit drops its oldest half, in place, from the next whole line on.
void LocatorTest::logDropsItsOldestHalfPastTheLimit_data()
{
    QTest::addColumn<qint64>("belowTheLimit"); // the log's room before the listing
    QTest::addColumn<bool>("trimmed");
    QTest::newRow("room for the listing") << qint64(4096) << false;
    QTest::newRow("the listing goes past the limit") << qint64(10) << true;
}

void LocatorTest::logDropsItsOldestHalfPastTheLimit()
{
    QFETCH(qint64, belowTheLimit);
    QFETCH(bool, trimmed);
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-bounded-log"));
    // Made before the build folder: its own first run finds nothing to log.
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/s.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
#ifndef Q_OS_WIN
    const QByteArray listing
        = runCommandInterpreter(hexFileCommands(QString(), "build1.tmp")).toLocal8Bit();
    QVERIFY(listing.size() < belowTheLimit || trimmed);
#endif
    // Numbered lines of 16 bytes up to the room left.
    QByteArray old;
    const qint64 oldSize = kLocatorLogLimitBytes - belowTheLimit;
    old.reserve(int(oldSize));
    for (int line = 0; old.size() < oldSize; ++line)
        old += QByteArray::number(line).rightJustified(15, '0') + '\n';
    old.truncate(int(oldSize));
    QVERIFY(writeFileAt(QStringLiteral("log.txt"), old, utc(2020, 1, 1, 0, 0, 0)));

    probe.findBuildDir();
    const QByteArray log = fileContents(QStringLiteral("log.txt"));
    QFile::remove(QStringLiteral("log.txt"));
#ifdef Q_OS_WIN
    // Windows' listing ends with the free space, which moves from run to run:
    // where the listing went and how much stayed is what can be checked.
    constexpr int kListingAtMost = 4096;
    QVERIFY(log.right(kListingAtMost).toLower().contains("build1.tmp"));
    if (!trimmed) {
        QVERIFY(log.startsWith(old));
        return;
    }
    QVERIFY2(log.size() <= (kLocatorLogLimitBytes + kListingAtMost) / 2,
             qPrintable(QString::number(log.size())));
    QVERIFY(!log.startsWith(old.left(16)));
#else
    QVERIFY(log.endsWith(listing));
    if (!trimmed) {
        QCOMPARE(log, old + listing);
        return;
    }
    const qint64 grown = oldSize + listing.size();
    QVERIFY2(log.size() <= grown / 2 && log.size() > grown / 2 - 16,
             qPrintable(QString::number(log.size())));
    // A whole line of the newest half first.
    const QByteArray firstLine = log.left(16);
    QVERIFY(firstLine.endsWith('\n'));
    QVERIFY(old.indexOf(firstLine) >= oldSize - grown / 2);
    QCOMPARE(log.chopped(listing.size()), old.mid(old.indexOf(firstLine)));
#endif
}

// A log.txt that cannot be written is reported, and the search goes on
// without it; a link is never followed to someone else's file.
void LocatorTest::logThatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a folder") << "folder";
#ifdef Q_OS_UNIX
    QTest::newRow("a link to another file") << "link";
    QTest::newRow("a link to nowhere") << "dangling";
#endif
}

void LocatorTest::logThatIsNoRegularFile()
{
    QFETCH(QString, kind);
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-nolog"));
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/s.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    const QString log = QStringLiteral("log.txt");
    const QString other = QDir::current().absoluteFilePath(QStringLiteral("other.txt"));
    QFile::remove(log);
    QFile::remove(other);
    QVERIFY(kind == "folder" ? QDir().mkdir(log) : QFile::link(other, log));
    QVERIFY(kind != "link" || TestKit::writeFile(other, "someone's\n"));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;

    StderrCapture capture;
    QVERIFY(probe.invoke("update_hex_file"));
    const QByteArray errors = capture.text();
    const QByteArray otherContents = QFile::exists(other) ? fileContents(other) : QByteArray();
    QDir().rmdir(log);
    QFile::remove(log);
    QFile::remove(other);
    QVERIFY2(errors.startsWith("open file error: "), errors.constData());
    QCOMPARE(probe.ui().lineEdit_2->text(),
             QDir::toNativeSeparators(tmp.filePath("build1.tmp/s.ino.hex")));
    QCOMPARE(otherContents, QByteArray(kind == "link" ? "someone's\n" : ""));
}

void LocatorTest::readGenerateTime()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-time"));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    probe.setGenerateTime(QStringLiteral("before"));
    probe.readGenerateTime(tmp.filePath("missing.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("before"));
    probe.readGenerateTime(QString());
    QCOMPARE(probe.generateTime(), QStringLiteral("before"));

    QVERIFY(writeFileAt(tmp.filePath("late.hex"), kSketch, utc(2016, 5, 6, 23, 30, 0)));
    probe.readGenerateTime(tmp.filePath("late.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("2016-05-07 7:30:00"));
}

void LocatorTest::laterGenerationsCompeteWithBuildTmp()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-generations"));
    QFile::remove(QStringLiteral("log.txt"));
    QVERIFY(tmp.makeFolder("build1.tmp"));
    QVERIFY(writeFileAt(tmp.filePath("build1.tmp/old.ino.hex"), kSketch, utc(2020, 1, 1, 0, 0, 0)));
    QVERIFY(tmp.makeFolder("arduino_build_424242"));
    QVERIFY(writeFileAt(tmp.filePath("arduino_build_424242/new.ino.hex"), kSketch,
                        utc(2020, 1, 2, 0, 0, 0)));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    Ui_Widget &ui = probe.ui();

    // The later IDE's build was written last.
    QVERIFY(probe.invoke("update_hex_file"));
    RUDIREZE_COMPARE_PATHS(
        ui.lineEdit_2->text(),
        QDir::toNativeSeparators(tmp.filePath("arduino_build_424242/new.ino.hex")));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("new.ino.hex"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2020-01-02 8:00:00"));
    // The build*.tmp route still runs and keeps its listing.
    QVERIFY(fileContents(QStringLiteral("log.txt")).contains("old.ino.hex"));

    // Then the older IDE builds again.
    QVERIFY(setModificationTime(tmp.filePath("build1.tmp/old.ino.hex"), utc(2020, 1, 3, 0, 0, 0)));
    QVERIFY(probe.invoke("update_hex_file"));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("old.ino.hex"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("2020-01-03 8:00:00"));

    // An arduino-cli build after that.
    QVERIFY(tmp.makeFolder("arduino/sketches/0A1B2C"));
    QVERIFY(writeFileAt(tmp.filePath("arduino/sketches/0A1B2C/cli.ino.hex"), kSketch,
                        utc(2020, 1, 4, 0, 0, 0)));
    QVERIFY(probe.invoke("update_hex_file"));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("cli.ino.hex"));

    // Its folder removed, the newest build left is chosen again.
    QVERIFY(QDir(tmp.filePath("arduino")).removeRecursively());
    QVERIFY(probe.invoke("update_hex_file"));
    QCOMPARE(ui.lineEdit_3->text(), QStringLiteral("old.ino.hex"));
    QFile::remove(QStringLiteral("log.txt"));
}

void LocatorTest::laterBuildInTheCacheDirectory()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-cache-build"));
    QuietWindow quiet(false);
    WidgetProbe &probe = quiet.probe;
    probe.setDefaultPath(QStringLiteral("previous.ino.hex"));
    probe.setGenerateTime(QStringLiteral("2000-01-01 8:00:00"));

    // Only bootloader images and empty folders: nothing changes.
    const QString sketches = tmp.cache + QStringLiteral("/arduino/sketches");
    QVERIFY(QDir().mkpath(sketches + "/EMPTY"));
    QVERIFY(QDir().mkpath(sketches + "/BOOT"));
    QVERIFY(writeFileAt(sketches + "/BOOT/s.ino.with_bootloader.hex", kSketch,
                        utc(2021, 1, 1, 0, 0, 0)));
    probe.findBuildDir();
    QCOMPARE(probe.defaultPath(), QStringLiteral("previous.ino.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("2000-01-01 8:00:00"));

    QVERIFY(QDir().mkpath(sketches + "/HASH"));
    QVERIFY(writeFileAt(sketches + "/HASH/s.ino.hex", kSketch, utc(2021, 6, 1, 16, 30, 0)));
    probe.findBuildDir();
    QCOMPARE(probe.defaultPath(), QDir::toNativeSeparators(sketches + "/HASH/s.ino.hex"));
    QCOMPARE(probe.generateTime(), QStringLiteral("2021-06-02 0:30:00"));
}

QTEST_MAIN(LocatorTest)
#include "tst_locator.moc"
