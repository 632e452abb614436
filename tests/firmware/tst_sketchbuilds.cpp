#include "firmware/sketchbuilds.h"
#include "firmwaretesting.h"
#include "platform/cachedirectory.h"
#include "platform/folderlisting.h"

#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
const QByteArray kImage = ":0100000001FE\n:00000001FF\n";

// Makes folder (under root) holding the given files, each written at its
// time, and gives the folder its own time afterwards.
bool makeBuild(const QString &root, const QString &folder,
               const QList<QPair<QString, QDateTime>> &files, const QDateTime &folderTime)
{
    const QString path = root + QLatin1Char('/') + folder;
    if (!QDir().mkpath(path))
        return false;
    for (const auto &file : files) {
        if (!writeFileAt(path + QLatin1Char('/') + file.first, kImage, file.second))
            return false;
    }
    return setModificationTime(path, folderTime);
}

QDateTime day(int n)
{
    return utc(2024, 3, n, 12, 0, 0);
}
} // namespace

class SketchBuildsTest : public QObject
{
    Q_OBJECT

private slots:
    void matchesWildcard_data();
    void matchesWildcard();
    void folderEntriesWithTheirTimes();

    void layoutsOfTheLaterGenerations();
    void cacheDirectoryOfThePlatform();
    void eachLayoutIsFound_data();
    void eachLayoutIsFound();
    void newestBuildWinsAcrossLayouts();
    void onlyTheNewestFolderOfALayoutCounts();
    void bootloaderImagesAreNeverChosen();
    void foldersWithoutAnImageArePassedOver();
    void unreadableFolderIsPassedOver();
    void nothingFound();
};

void SketchBuildsTest::matchesWildcard_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("matches");
    QTest::newRow("prefix") << "arduino_build_123" << QStringLiteral("arduino_build_*") << true;
    QTest::newRow("prefix, other case")
        << "Arduino_Build_123" << QStringLiteral("arduino_build_*") << true;
    QTest::newRow("prefix only") << "arduino_build_" << QStringLiteral("arduino_build_*") << true;
    QTest::newRow("other prefix") << "arduino-build-1" << QStringLiteral("arduino_build_*")
                                  << false;
    QTest::newRow("suffix") << "s.ino.hex" << QStringLiteral("*.ino.hex") << true;
    QTest::newRow("suffix not at the end")
        << "s.ino.hex.bak" << QStringLiteral("*.ino.hex") << false;
    QTest::newRow("suffix twice") << "a.ino.hex.ino.hex" << QStringLiteral("*.ino.hex") << true;
    QTest::newRow("bootloader") << "s.ino.with_bootloader.hex" << QStringLiteral("*.ino.hex")
                                << false;
    QTest::newRow("any") << "x" << QStringLiteral("*") << true;
    QTest::newRow("empty name") << "" << QStringLiteral("*") << true;
    QTest::newRow("exact") << "D" << QStringLiteral("D") << true;
    QTest::newRow("exact, other case") << "d" << QStringLiteral("D") << true;
    QTest::newRow("exact, longer") << "Dx" << QStringLiteral("D") << false;
    QTest::newRow("question mark") << "build1.tmp" << QStringLiteral("build?.tmp") << true;
    QTest::newRow("question mark needs one")
        << "build.tmp" << QStringLiteral("build?.tmp") << false;
    QTest::newRow("stars in the middle") << "abcXdefYghi" << QStringLiteral("a*X*Y*i") << true;
    QTest::newRow("backtracking") << "aaab" << QStringLiteral("*a*ab") << true;
    QTest::newRow("backtracking fails") << "aaac" << QStringLiteral("*a*ab") << false;
}

void SketchBuildsTest::matchesWildcard()
{
    QFETCH(QString, name);
    QFETCH(QString, pattern);
    QFETCH(bool, matches);
    QCOMPARE(::matchesWildcard(name, pattern), matches);
}

void SketchBuildsTest::folderEntriesWithTheirTimes()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-entries"));
    // A folder of its own: on Windows the temporary folder is the user's.
    const QString folder = tmp.path + QStringLiteral("/entries");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(makeBuild(folder, "arduino_build_7", {}, day(7)));
    QVERIFY(writeFileAt(folder + "/s.ino.hex", "12345", day(3).addMSecs(250)));
    QVERIFY(writeFileAt(folder + "/notes.txt", "x", day(4)));

    QVector<FolderEntry> entries = folderEntries(folder, { "*.hex", "ARDUINO*" });
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry &a, const FolderEntry &b) { return a.name < b.name; });
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0].name, QStringLiteral("arduino_build_7"));
    QVERIFY(entries[0].isDirectory);
    QCOMPARE(entries[0].lastWriteMsecs, day(7).toMSecsSinceEpoch());
    QCOMPARE(entries[1].name, QStringLiteral("s.ino.hex"));
    QVERIFY(!entries[1].isDirectory);
    QCOMPARE(entries[1].size, qint64(5));
    QCOMPARE(entries[1].lastWriteMsecs, day(3).addMSecs(250).toMSecsSinceEpoch());
    QCOMPARE(lastWriteTimeUtc(folder + "/s.ino.hex"), day(3).addMSecs(250));

    QVERIFY(folderEntries(folder + "/missing", { "*" }).isEmpty());
    QVERIFY(folderEntries(folder + "/notes.txt", { "*" }).isEmpty());
    QVERIFY(folderEntries(folder, {}).isEmpty());
}

void SketchBuildsTest::layoutsOfTheLaterGenerations()
{
    const QList<BuildLayout> layouts = laterBuildLayouts("/t", "/c");
    QCOMPARE(layouts.size(), 4);
    QCOMPARE(layouts[0].root, QStringLiteral("/t"));
    QCOMPARE(layouts[0].folderPattern, QStringLiteral("arduino_build_*"));
    QCOMPARE(layouts[1].root, QStringLiteral("/t"));
    QCOMPARE(layouts[1].folderPattern, QStringLiteral("arduino-sketch-*"));
    QCOMPARE(layouts[2].root, QStringLiteral("/t/arduino/sketches"));
    QCOMPARE(layouts[2].folderPattern, QStringLiteral("*"));
    QCOMPARE(layouts[3].root, QStringLiteral("/c/arduino/sketches"));
    QCOMPARE(laterBuildLayouts("/t", QString()).size(), 3);
}

void SketchBuildsTest::cacheDirectoryOfThePlatform()
{
#ifdef Q_OS_WIN
    const QByteArray localAppData = qgetenv("LOCALAPPDATA");
    qputenv("LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local");
    QCOMPARE(userCacheDirectory(), QStringLiteral("C:/Users/ann/AppData/Local"));
    qunsetenv("LOCALAPPDATA");
    QVERIFY(!userCacheDirectory().isEmpty());
    qputenv("LOCALAPPDATA", localAppData);
#else
    const QByteArray home = qgetenv("HOME");
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    qputenv("HOME", "/home/ann");
    qputenv("XDG_CACHE_HOME", "/var/cache/ann");
    QCOMPARE(userCacheDirectory(), QStringLiteral("/var/cache/ann"));
    qputenv("XDG_CACHE_HOME", "relative/cache");
    QCOMPARE(userCacheDirectory(), QStringLiteral("/home/ann/.cache"));
    qunsetenv("XDG_CACHE_HOME");
    QCOMPARE(userCacheDirectory(), QStringLiteral("/home/ann/.cache"));
    qputenv("HOME", home);
    if (!cache.isNull())
        qputenv("XDG_CACHE_HOME", cache);
#endif
}

void SketchBuildsTest::eachLayoutIsFound_data()
{
    QTest::addColumn<QString>("underCache"); // "tmp" or "cache"
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("image");
    QTest::newRow("IDE 1.6.10 to 1.8.19")
        << "tmp" << QStringLiteral("arduino_build_123456") << QStringLiteral("Blink.ino.hex");
    QTest::newRow("early IDE 2 and arduino-cli")
        << "tmp" << QStringLiteral("arduino-sketch-0A1B2C3D4E5F")
        << QStringLiteral("Blink.ino.hex");
    QTest::newRow("arduino-cli 0.30 to 1.0.3")
        << "tmp" << QStringLiteral("arduino/sketches/0A1B2C3D4E5F")
        << QStringLiteral("Blink.ino.hex");
    QTest::newRow("arduino-cli 1.0.4 and IDE 2 cache")
        << "cache" << QStringLiteral("arduino/sketches/0A1B2C3D4E5F")
        << QStringLiteral("main.cpp.hex");
}

void SketchBuildsTest::eachLayoutIsFound()
{
    QFETCH(QString, underCache);
    QFETCH(QString, folder);
    QFETCH(QString, image);
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-layout"));
    const QString root = underCache == QLatin1String("cache") ? tmp.cache : tmp.path;
    QVERIFY(makeBuild(root, folder, { { image, day(5) }, { "Blink.ino.elf", day(6) } }, day(5)));
    // A folder of the older generation's name in the wrong place is no match.
    QVERIFY(makeBuild(tmp.path, "build1.tmp", { { "Old.ino.hex", day(9) } }, day(9)));

    const std::optional<SketchBuild> found
        = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QVERIFY(found);
    QCOMPARE(found->path, root + '/' + folder + '/' + image);
    QCOMPARE(found->lastWrite, day(5));
}

void SketchBuildsTest::newestBuildWinsAcrossLayouts()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-across"));
    QVERIFY(makeBuild(tmp.path, "arduino_build_1", { { "a.ino.hex", day(3) } }, day(3)));
    QVERIFY(makeBuild(tmp.path, "arduino-sketch-AA", { { "b.ino.hex", day(4) } }, day(4)));
    QVERIFY(makeBuild(tmp.path, "arduino/sketches/BB", { { "c.ino.hex", day(2) } }, day(2)));
    QVERIFY(makeBuild(tmp.cache, "arduino/sketches/CC", { { "d.cpp.hex", day(1) } }, day(1)));
    const QList<BuildLayout> layouts = laterBuildLayouts(tmp.path, tmp.cache);

    QCOMPARE(newestSketchBuild(layouts)->path, tmp.path + "/arduino-sketch-AA/b.ino.hex");
    QVERIFY(setModificationTime(tmp.cache + "/arduino/sketches/CC/d.cpp.hex", day(7)));
    QCOMPARE(newestSketchBuild(layouts)->path, tmp.cache + "/arduino/sketches/CC/d.cpp.hex");
    QVERIFY(setModificationTime(tmp.path + "/arduino/sketches/BB/c.ino.hex", day(8)));
    QCOMPARE(newestSketchBuild(layouts)->path, tmp.path + "/arduino/sketches/BB/c.ino.hex");
    QCOMPARE(newestSketchBuild(layouts)->lastWrite, day(8));
}

void SketchBuildsTest::onlyTheNewestFolderOfALayoutCounts()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-newest-folder"));
    QVERIFY(makeBuild(tmp.path, "arduino_build_1", { { "old.ino.hex", day(9) } }, day(1)));
    QVERIFY(makeBuild(tmp.path, "arduino_build_2",
                      { { "new.ino.hex", day(2) }, { "newer.cpp.hex", day(3) } }, day(2)));
    const std::optional<SketchBuild> found
        = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QVERIFY(found);
    QCOMPARE(found->path, tmp.path + "/arduino_build_2/newer.cpp.hex");
}

void SketchBuildsTest::bootloaderImagesAreNeverChosen()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-bootloader"));
    QVERIFY(makeBuild(tmp.path, "arduino-sketch-AA",
                      { { "s.ino.hex", day(2) },
                        { "s.ino.with_bootloader.hex", day(3) },
                        { "with_bootloader.ino.hex", day(4) },
                        { "s.hex", day(5) } },
                      day(2)));
    const std::optional<SketchBuild> found
        = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QVERIFY(found);
    QCOMPARE(found->path, tmp.path + "/arduino-sketch-AA/s.ino.hex");
}

void SketchBuildsTest::foldersWithoutAnImageArePassedOver()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-empty"));
    QVERIFY(makeBuild(tmp.path, "arduino_build_1", { { "s.ino.hex", day(1) } }, day(1)));
    // Newer, but empty, holding only a bootloader image, or still building.
    QVERIFY(makeBuild(tmp.path, "arduino_build_2", {}, day(2)));
    QVERIFY(makeBuild(tmp.path, "arduino_build_3", { { "s.ino.with_bootloader.hex", day(3) } },
                      day(3)));
    QVERIFY(makeBuild(tmp.path, "arduino_build_4", { { "s.ino.elf", day(4) } }, day(4)));
    // A file named like a build folder is no folder, and a link that leads
    // nowhere cannot be read.
    QVERIFY(writeFileAt(tmp.path + "/arduino_build_5", kImage, day(5)));
    QVERIFY(QFile::link(tmp.path + "/arduino_build_6", tmp.path + "/arduino_build_6"));
    std::optional<SketchBuild> found = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QVERIFY(found);
    QCOMPARE(found->path, tmp.path + "/arduino_build_1/s.ino.hex");

    // Empty folders, however many, hide nothing; another user's folder is
    // not looked into.
    for (int i = 0; i < 20; ++i)
        QVERIFY(makeBuild(tmp.path, QStringLiteral("arduino_build_1%1").arg(i), {}, day(10 + i)));
#ifndef Q_OS_WIN
    if (geteuid() == 0) {
        QVERIFY(makeBuild(tmp.path, "arduino_build_7", { { "other.ino.hex", day(7) } }, day(7)));
        QVERIFY(::chown(QFile::encodeName(tmp.path + "/arduino_build_7").constData(), 65534, 65534)
                == 0);
    }
#endif
    found = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QVERIFY(found);
    QCOMPARE(found->path, tmp.path + "/arduino_build_1/s.ino.hex");
    // Past the first few folders that hold a build under way a layout is
    // given up, so a tick never reads every old build.
    for (int i = 0; i < kMaxFoldersTriedPerLayout; ++i) {
        QVERIFY(makeBuild(tmp.path, QStringLiteral("arduino_build_4%1").arg(i),
                          { { "s.ino.elf", day(20) } }, day(20 + i)));
    }
    QVERIFY(!newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache)));
}

void SketchBuildsTest::unreadableFolderIsPassedOver()
{
#ifdef Q_OS_WIN
    QSKIP("a folder's permissions are POSIX ones");
#else
    if (geteuid() == 0)
        QSKIP("permissions do not stop root from reading a folder");
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-unreadable"));
    QVERIFY(makeBuild(tmp.path, "arduino_build_1", { { "s.ino.hex", day(1) } }, day(1)));
    QVERIFY(makeBuild(tmp.path, "arduino_build_2", { { "t.ino.hex", day(2) } }, day(2)));
    const QString locked = tmp.path + "/arduino_build_2";
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    QVERIFY(setModificationTime(locked, day(2)));
    const std::optional<SketchBuild> found
        = newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache));
    QFile::setPermissions(locked,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(found);
    QCOMPARE(found->path, tmp.path + "/arduino_build_1/s.ino.hex");
#endif
}

void SketchBuildsTest::nothingFound()
{
    OwnTemporaryDirectory tmp(QStringLiteral("tmp-none"));
    QVERIFY(!newestSketchBuild(laterBuildLayouts(tmp.path, tmp.cache)));
    QVERIFY(!newestSketchBuild(laterBuildLayouts(tmp.path + "/missing", QString())));
    QVERIFY(!newestSketchBuild({}));
}

QTEST_GUILESS_MAIN(SketchBuildsTest)
#include "tst_sketchbuilds.moc"
