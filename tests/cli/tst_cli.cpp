// The rudireze-cli program as a user or a script runs it, against
// virtual-module processes on loopback addresses.
#include "common/names.h"
#include "discovery/localaddress.h"
#include "firmware/hexconversion.h"
#include "firmwaretesting.h"
#include "hexwriter.h"
#include "moduleprocess.h"
#include "testkit.h"
#include "widgetprobe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace TestKit;

namespace {
// The longest any one run of the program may take here; it ends far sooner.
constexpr int kCliLimitMs = 120000;
// Flash files are written when the data connection closes, a moment after
// the program has ended.
constexpr int kFlashFileWaitMs = 10000;
// A module the station saw leave is gone after 6 to 7 s of silence.
constexpr int kStationWaitMs = 20000;

struct CliRun
{
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;

    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
    QString describe() const
    {
        return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(exitCode).arg(out, err);
    }
};

CliRun runCli(const QStringList &arguments, int limitMs = kCliLimitMs)
{
    CliRun run;
    QProcess process;
    process.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    if (!process.waitForStarted(ModuleProcess::kStartMs))
        return run;
    run.finished = process.waitForFinished(limitMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(ModuleProcess::kStopMs);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    // Never erased at the start, so a page never written shows.
    bytes[0] = char(0x0C);
    return bytes;
}

// Writes the image as an Intel HEX file and returns its path.
QString writeHex(const QString &name, const QByteArray &image, quint32 seed)
{
    QRandomGenerator random(seed);
    HexWriter writer(random);
    QFile file(QDir::current().absoluteFilePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(writer.write({ { 0, image } }));
    return file.fileName();
}

QStringList targetsOf(const QList<ModuleProcess::Module> &modules)
{
    QStringList targets;
    for (const ModuleProcess::Module &module : modules)
        targets << targetOf(module);
    return targets;
}

// Names no other program on the host announces.
QString uniqueName(const char *what)
{
    return QStringLiteral("cli%1-%2").arg(QCoreApplication::applicationPid()).arg(what);
}

QString flashPattern()
{
    return QDir::current().absoluteFilePath(QStringLiteral("flash-%a.bin"));
}

QString flashFileOf(const ModuleProcess::Module &module)
{
    return QDir::current().absoluteFilePath(
        QStringLiteral("flash-%1.bin").arg(module.address.toString()));
}

// Whether the module's flash file holds the image followed by erased flash.
bool flashHolds(const ModuleProcess::Module &module, const QByteArray &image, int flashSize)
{
    QFile file(flashFileOf(module));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray flash = file.readAll();
    return flash.size() == flashSize && flash.left(image.size()) == image
        && flash.mid(image.size()) == QByteArray(flashSize - image.size(), char(0xFF));
}

void removeFlashFiles()
{
    for (const QString &name : QDir::current().entryList({ QStringLiteral("flash-*.bin") }))
        QFile::remove(name);
}
} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void helpAndUsageErrors_data();
    void helpAndUsageErrors();
    void convert();
    void locateTakesWhatTheWindowTakes();
    void listSeesModulesButNotTheHost();
    void uploadToThreeAtOnce_data();
    void uploadToThreeAtOnce();
    void verifyPassesAndFindsTheCorruptByte_data();
    void verifyPassesAndFindsTheCorruptByte();
    void refusedTargetFailsWhileOthersSucceed();
    void targetsByAnnouncedName();
    void timeLimitStopsAStalledUpload();
    void signalsStopTheUploadsAndReport_data();
    void signalsStopTheUploadsAndReport();
    void renameReachesTheModule();
    void liveDisplayOnATerminal();
    void stationFlashesEachArrivalOnce();
    void stationUnderAFlood_data();
    void stationUnderAFlood();
};

void CliTest::init()
{
    // The file times expected here are shown eight hours ahead of UTC.
    qputenv("TZ", "UTC-8");
    removeFlashFiles();
}

void CliTest::helpAndUsageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // start of standard output
    QTest::addColumn<QString>("err"); // part of standard error; empty: nothing there

    QTest::newRow("overview") << QStringList { "--help" } << kExitSuccess
                              << "Usage: rudireze-cli COMMAND"
                              << "";
    for (const char *command :
         { "list", "convert", "locate", "upload", "rename", "read", "station" }) {
        QTest::newRow(qPrintable(QStringLiteral("%1 --help").arg(command)))
            << QStringList { command, "--help" } << kExitSuccess
            << QStringLiteral("Usage: rudireze-cli ") + command << "";
    }
    QTest::newRow("version") << QStringList { "--version" } << kExitSuccess
                             << "rudireze-cli " RUDIREZE_VERSION "\n"
                             << "";
    QTest::newRow("nothing") << QStringList() << kExitUsage << ""
                             << "no command given";
    QTest::newRow("unknown board")
        << QStringList { "upload", "any.hex", "--board", "Nano", "127.0.0.2:1:2" } << kExitUsage
        << ""
        << "unknown board 'Nano'";
    QTest::newRow("bad port") << QStringList { "upload", "any.hex", "--board", "UNO",
                                               "127.0.0.2:8000:0" }
                              << kExitUsage << ""
                              << "bad AT port '0'";
    QTest::newRow("missing file") << QStringList { "upload", "missing.hex", "--board", "UNO",
                                                   "127.0.0.2:1:2" }
                                  << kExitUsage << ""
                                  << "cannot open missing.hex";
    QTest::newRow("bad file") << QStringList { "upload", "bad.hex", "--board", "MEGA2560",
                                               "127.0.0.2:1:2" }
                              << kExitUsage << ""
                              << "bad.hex line 2: 'z' at column 10";
    // One byte more than the flash below the bootloader.
    QTest::newRow("one byte into the UNO's bootloader")
        << QStringList { "upload", "large.hex", "--board", "uno", "127.0.0.2:1:2" } << kExitUsage
        << ""
        << "large.hex gives a 32257-byte image, larger than the 32256 bytes below the bootloader "
           "of a UNO board; nothing was uploaded";
    QTest::newRow("one byte into the MEGA2560's bootloader")
        << QStringList { "upload", "large-mega.hex", "--board", "MEGA2560", "127.0.0.2:1:2" }
        << kExitUsage << ""
        << "large-mega.hex gives a 253953-byte image, larger than the 253952 bytes below the "
           "bootloader of a MEGA2560 board; nothing was uploaded";
    QTest::newRow("rename to a name holding a command")
        << QStringList { "rename", "127.0.0.2", "8001", "x\r\nAT+MCUUPDATE=UNO" } << kExitUsage
        << ""
        << "bad name: a name cannot hold control characters; nothing was sent";
    QTest::newRow("read without -o")
        << QStringList { "read", "--board", "UNO", "127.0.0.2:1:2" } << kExitUsage << ""
        << "read needs -o FILE";
    QTest::newRow("read of two boards into one file")
        << QStringList { "read", "--board", "UNO", "-o", "x.hex", "127.0.0.2:1:2", "127.0.0.3:1:2" }
        << kExitUsage << ""
        << "2 targets cannot share the one file x.hex";
    QTest::newRow("station without a board")
        << QStringList { "station", "any.hex" } << kExitUsage << ""
        << "station needs --board";
    QTest::newRow("station, a log in no folder")
        << QStringList { "station",   "large.hex", "--board",
                         "MEGA2560",  "--log",     "no-such-folder/log.csv",
                         "--seconds", "5" }
        << kExitUsage << ""
        << "cannot open no-such-folder/log.csv: No such file or directory; nothing was flashed";
#ifndef Q_OS_WIN
    // Found when the first line is written, not when the station ends.
    QTest::newRow("station, a log on a full disk")
        << QStringList { "station", "large.hex", "--board",   "MEGA2560",
                         "--log",   "/dev/full", "--seconds", "5" }
        << kExitUsage << ""
        << "cannot write /dev/full: No space left on device; nothing was flashed";
#endif
    // With --json every failure is a JSON object on standard output too.
    QTest::newRow("an oversize image, JSON")
        << QStringList { "upload", "large.hex", "--board", "uno", "--json", "127.0.0.2:1:2" }
        << kExitUsage << "{"
        << "larger than the 32256 bytes below the bootloader";
    QTest::newRow("upload without a board, JSON")
        << QStringList { "upload", "any.hex", "--json", "127.0.0.2:1:2" } << kExitUsage << "{"
        << "upload needs --board";
    // Refused at once, not after the listening (an hour here).
    QTest::newRow("a backup folder that cannot be made")
        << QStringList { "upload", "small.hex", "--board",         "UNO", "--all", "--seconds",
                         "3600",   "--backup",  "large.hex/copies" }
        << kExitUsage << ""
        << "cannot make or write to the backup directory large.hex/copies";
    QTest::newRow("read --all into one file")
        << QStringList { "read", "--board", "UNO", "--all", "--seconds", "3600", "-o", "x.hex" }
        << kExitUsage << ""
        << "cannot share the one file x.hex";
    QTest::newRow("read into a folder that is not there")
        << QStringList { "read", "--board", "UNO", "127.0.0.2:1:2", "-o", "no-such-folder/x.hex" }
        << kExitUsage << ""
        << "there is no folder";
    QTest::newRow("nothing heard: a hint")
        << QStringList { "list", "--seconds", "0.5" } << kExitSuccess
        << "No module announced itself within 0.5 s.\n"
        << "drops inbound UDP to port 3333";
    // The engine's own error lines only with --verbose.
    QTest::newRow("an unreachable module, quietly")
        << QStringList { "upload", "small.hex", "--board", "UNO", "127.0.0.1:1:2" } << kExitFailure
        << "127.0.0.1:1:2: connecting"
        << "";
    QTest::newRow("the station's header, long patterns")
        << QStringList { "station", "small.hex", "--board",        "MEGA2560", "--seconds",
                         "0.5",     "--name",    QString(70, 'a'), "--name",   QString(70, 'b') }
        << kExitSuccess << "Flashing small.hex (100 bytes)"
        << "";
    QTest::newRow("rename without a name")
        << QStringList { "rename", "127.0.0.2", "8001" } << kExitUsage << ""
        << "rename needs IP ATPORT NAME";
    // A name is shown escaped, never obeyed: not heard, and not understood.
    QTest::newRow("monitor, a name with an escape sequence")
        << QStringList { "monitor", "--name", "esc\x1b[2Jname" } << kExitFailure << ""
        << "no module named esc\\x1B[2Jname announced itself within 3 s";
    QTest::newRow("a board name with an escape sequence")
        << QStringList { "upload", "any.hex", "--board", "esc\x1b[2J", "127.0.0.2:1:2" }
        << kExitUsage << ""
        << "unknown board 'esc\\x1B[2J'";
    // An IPv6 address is written in brackets wherever a port follows it.
    QTest::newRow("monitor, an IPv6 target")
        << QStringList { "monitor", "[::1]:1:2" } << kExitFailure << ""
        << "cannot connect to the data port [::1]:1:";
    QTest::newRow("rename, an IPv6 target")
        << QStringList { "rename", "::1", "1", "name" } << kExitFailure << ""
        << "cannot connect to the AT port [::1]:1";
}

void CliTest::helpAndUsageErrors()
{
    // A command line refused, or a run that hears nothing, ends within this.
    constexpr int kUsageLimitMs = 20000;
    // No line the program prints for people is wider.
    constexpr int kWidestLine = 120;
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QFile bad(QStringLiteral("bad.hex"));
    QVERIFY(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
    bad.write(":020000000C945E\n:02000000zz945E\n:00000001FF\n");
    bad.close();
    QVERIFY(
        !writeHex(QStringLiteral("large.hex"), randomImage(kUno.application + 1, 1), 1).isEmpty());
    QVERIFY(!writeHex(QStringLiteral("large-mega.hex"), randomImage(kMega.application + 1, 1), 1)
                 .isEmpty());
    QVERIFY(!writeHex(QStringLiteral("small.hex"), randomImage(100, 1), 1).isEmpty());

    const CliRun run = runCli(arguments, kUsageLimitMs);
    QVERIFY2(run.finished, qPrintable(run.describe()));
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(out.isEmpty() ? run.out.isEmpty() : run.out.startsWith(out),
             qPrintable(run.describe()));
    QVERIFY2(err.isEmpty() ? run.err.isEmpty() : run.err.contains(err), qPrintable(run.describe()));
    if (arguments.contains(QLatin1String("--json"))) {
        QVERIFY2(run.json().value(QStringLiteral("error")).toString().contains(err),
                 qPrintable(run.describe()));
        return;
    }
    for (const QString &line : run.out.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= kWidestLine, qPrintable(line));
    // A command line that cannot be read points to the help; a file that
    // gives no image says that nothing was uploaded.
    if (exitCode == kExitUsage && !run.err.contains(QLatin1String("nothing was")))
        QVERIFY2(run.err.contains(QLatin1String("--help")), qPrintable(run.describe()));
}

void CliTest::convert()
{
    const QByteArray image = randomImage(70000, 2);
    const QString hex = writeHex(QStringLiteral("convert.hex"), image, 2);

    QFile::remove(QStringLiteral("update.bin"));
    CliRun run = runCli({ QStringLiteral("convert"), hex });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QVERIFY(run.out.contains(QStringLiteral("70000 bytes written to update.bin")));
    QCOMPARE(fileContents(QStringLiteral("update.bin")), image);

    run = runCli({ QStringLiteral("convert"), hex, QStringLiteral("other.bin") });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QCOMPARE(fileContents(QStringLiteral("other.bin")), image);
    // "-": the image alone on standard output, the report on standard error.
    const QString text = writeHex(QStringLiteral("text.hex"), "an image\n", 2);
    run = runCli({ QStringLiteral("convert"), text, QStringLiteral("-") });
    QCOMPARE(run.out, QStringLiteral("an image\n"));
    QVERIFY2(run.err.contains(QLatin1String("9 bytes written to standard output")),
             qPrintable(run.describe()));

    // A bad line is named, and the earlier image stays as it was.
    QFile bad(QStringLiteral("bad.hex"));
    QVERIFY(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
    bad.write(":020000000C945E\n\n:020002000C9400\n:00000001FF\n");
    bad.close();
    run = runCli(words("convert bad.hex other.bin"));
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    QVERIFY2(run.err.contains(QLatin1String("bad.hex line 3: wrong checksum")),
             qPrintable(run.describe()));
    QCOMPARE(fileContents(QStringLiteral("other.bin")), image);

    run = runCli({ QStringLiteral("convert"), QStringLiteral("nowhere.hex") });
    QCOMPARE(run.exitCode, kExitFailure);
    QVERIFY2(run.err.contains(QLatin1String("cannot open nowhere.hex")), qPrintable(run.err));
    // A write that fails part way (a file size limit stands in for a full
    // disk) names the system's reason, and the earlier image stays.
    QProcess limited;
    limited.start(
        QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"),
          QStringLiteral("ulimit -f 8; trap '' XFSZ; exec \"$0\" convert \"$1\" other.bin"),
          QStringLiteral(RUDIREZE_CLI_EXE), hex });
    QVERIFY(limited.waitForFinished(kCliLimitMs));
    QCOMPARE(limited.exitCode(), kExitFailure);
    QVERIFY2(limited.readAllStandardError().contains("cannot write other.bin: File too large"),
             "no reason given");
    QCOMPARE(fileContents(QStringLiteral("other.bin")), image);
}

void CliTest::locateTakesWhatTheWindowTakes()
{
    OwnTemporaryDirectory temporary(QStringLiteral("locate-tmp"));
    CliRun run = runCli({ QStringLiteral("locate") });
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    QVERIFY(run.out.contains(QLatin1String("No default firmware file found")));
    run = runCli({ QStringLiteral("locate"), QStringLiteral("--json") });
    QCOMPARE(run.exitCode, kExitFailure);
    QVERIFY(run.json().value(QStringLiteral("path")).isNull());

    // A build*.tmp build, and a later IDE's build written after it.
    QVERIFY(temporary.makeFolder(QStringLiteral("build4711.tmp")));
    QVERIFY(writeFileAt(temporary.filePath(QStringLiteral("build4711.tmp/old.ino.hex")), "x",
                        utc(2016, 5, 6, 2, 3, 4)));
    QVERIFY(temporary.makeFolder(QStringLiteral("arduino_build_17")));
    QVERIFY(writeFileAt(temporary.filePath(QStringLiteral("arduino_build_17/blink.ino.hex")), "x",
                        utc(2021, 12, 31, 20, 5, 9)));

    Widget window;
    WidgetProbe probe(window);
    probe.findBuildDir();
    QVERIFY(probe.defaultPath().endsWith(QLatin1String("blink.ino.hex")));

    run = runCli({ QStringLiteral("locate") });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QCOMPARE(run.out,
             probe.defaultPath() + QStringLiteral("\nGenerate time: ") + probe.generateTime()
                 + QLatin1Char('\n'));
    QCOMPARE(probe.generateTime(), QStringLiteral("2022-01-01 4:05:09"));
    run = runCli({ QStringLiteral("locate"), QStringLiteral("--json") });
    QCOMPARE(run.json().value(QStringLiteral("path")).toString(), probe.defaultPath());
    QCOMPARE(run.json().value(QStringLiteral("time")).toString(), probe.generateTime());
}

void CliTest::listSeesModulesButNotTheHost()
{
    const QString name = uniqueName("list");
    const QString own = uniqueName("own");
    ModuleProcess modules;
    QVERIFY2(
        modules.start(words(
            "--count 3 --address 127.0.0.111 --name %1 --announce-ms 200 --and --address 127.0.0.1 "
            "--name %2 --announce-ms 200 --and --address 127.0.0.115 --name %3 --announce-ms 200",
            { name, own, QStringLiteral("esc\x1b[2Jname") })),
        qPrintable(modules.output.join('\n')));
    QCOMPARE(modules.modules.size(), 5);

    const CliRun run = runCli(words("list --seconds 1.5 --json"));
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QMap<QString, QJsonObject> heard;
    for (const QJsonValue &value : run.json().value(QStringLiteral("modules")).toArray())
        heard.insert(value.toObject().value(QStringLiteral("name")).toString(), value.toObject());
    for (int i = 0; i < 3; ++i) {
        const ModuleProcess::Module &module = modules.modules.at(i);
        QVERIFY2(heard.contains(module.name), qPrintable(run.out));
        const QJsonObject entry = heard.value(module.name);
        QCOMPARE(entry.value(QStringLiteral("address")).toString(), module.address.toString());
        // Numbers, as in upload's results.
        QCOMPARE(entry.value(QStringLiteral("dataPort")).toInt(), int(module.dataPort));
        QCOMPARE(entry.value(QStringLiteral("atPort")).toInt(), int(module.atPort));
    }
    // 127.0.0.1 is this host's first IPv4 address here: its announcement is the host's own.
    if (firstIPv4Address() == QLatin1String("127.0.0.1"))
        QVERIFY2(!heard.contains(own), qPrintable(run.out));
    else
        QVERIFY2(heard.contains(own), qPrintable(run.out));

    // The window decides alike: the three get rows, the host's own does not.
    {
        Widget window;
        WidgetProbe probe(window);
        QTableWidget *table = probe.ui().userTableWidget;
        const auto listed = [table](const QString &text) {
            return !table->findItems(text, Qt::MatchExactly).isEmpty();
        };
        for (int i = 0; i < 3; ++i)
            QTRY_VERIFY(listed(modules.modules.at(i).name));
        // Announcements come every 200 ms: several of the host's own arrived meanwhile.
        QTest::qWait(500);
        QCOMPARE(listed(own), heard.contains(own));
    }

    // The table for people.
    const CliRun table = runCli(words("list --seconds 1"));
    QCOMPARE(table.exitCode, kExitSuccess);
    QVERIFY(table.out.startsWith(QLatin1String("NAME")));
    for (int i = 0; i < 3; ++i)
        QVERIFY2(table.out.contains(modules.modules.at(i).name), qPrintable(table.out));
    // An announced escape sequence is shown, not obeyed.
    QVERIFY2(table.out.contains(QLatin1String("esc\\x1B[2Jname")), qPrintable(table.out));
    QVERIFY(!table.out.contains(QLatin1Char('\x1b')));
}

void CliTest::uploadToThreeAtOnce_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("kind"); // the boards behind the modules
    QTest::addColumn<QString>("error"); // every target's; empty: all succeed

    QTest::newRow("UNO") << "UNO" << 9000 << "uno"
                         << "";
    QTest::newRow("MEGA2560 above 64 KiB") << "MEGA2560" << 70000 << "mega"
                                           << "";
    QTest::newRow("Orvex3, full pages") << "Orvex3" << 40 * kMega.page << "mega"
                                        << "";
    QTest::newRow("MEGA2560 chosen for UNOs")
        << "MEGA2560" << 9000 << "uno"
        << "the board answered like an UNO (STK500 version 1): choose UNO";
    QTest::newRow("UNO chosen for Megas")
        << "UNO" << 9000 << "mega"
        << "the board answered like a MEGA2560 (STK500 version 2): choose MEGA2560";
}

void CliTest::uploadToThreeAtOnce()
{
    QFETCH(QString, board);
    QFETCH(int, size);
    QFETCH(QString, kind);
    QFETCH(QString, error);
    const bool uno = kind == QLatin1String("uno");
    const QByteArray image = randomImage(size, 3);
    const QString hex = writeHex(QStringLiteral("three.hex"), image, 3);
    // The boards hold an earlier, smaller program: --backup keeps it.
    const QByteArray earlier = randomImage(5000, 30);
    QFile earlierFile(QStringLiteral("earlier.bin"));
    QVERIFY(earlierFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && earlierFile.write(earlier) == earlier.size());
    earlierFile.close();
    QTemporaryDir copies;

    ModuleProcess modules;
    QVERIFY(modules.start(words(
        "--count 3 --address 127.0.0.121 --board %1 --announce-ms 0 --flash-in %2 --flash-out %3",
        { kind, earlierFile.fileName(), flashPattern() })));
    const CliRun run
        = runCli(QStringList { QStringLiteral("upload"), hex, QStringLiteral("--board"), board,
                               QStringLiteral("--json"), QStringLiteral("--backup"),
                               copies.filePath(QStringLiteral("backups")) }
                 + targetsOf(modules.modules));
    if (!error.isEmpty()) {
        // The wrong board type is named, and nothing was written.
        QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
        for (const ModuleProcess::Module &module : modules.modules) {
            const QJsonObject result = resultFor(run.json(), targetOf(module));
            QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
            QCOMPARE(result.value(QStringLiteral("error")).toString(), error);
            QVERIFY(!flashHolds(module, image, (uno ? kUno : kMega).flash));
            // The wrong board type was found before the backup was read.
            QVERIFY(result.value(QStringLiteral("file")).isNull());
        }
        return;
    }
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));

    const QJsonObject report = run.json();
    QCOMPARE(report.value(QStringLiteral("succeeded")).toInt(), 3);
    QCOMPARE(report.value(QStringLiteral("failed")).toInt(), 0);
    QCOMPARE(report.value(QStringLiteral("results")).toArray().size(), 3);
    for (const ModuleProcess::Module &module : modules.modules) {
        const QJsonObject result = resultFor(report, targetOf(module));
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QCOMPARE(result.value(QStringLiteral("board")).toString(), board);
        QCOMPARE(result.value(QStringLiteral("bytes")).toInt(), size);
        QCOMPARE(result.value(QStringLiteral("address")).toString(), module.address.toString());
        QCOMPARE(result.value(QStringLiteral("dataPort")).toInt(), int(module.dataPort));
        QCOMPARE(result.value(QStringLiteral("atPort")).toInt(), int(module.atPort));
        QVERIFY(result.value(QStringLiteral("seconds")).toDouble() > 0.0);
        QCOMPARE(result.value(QStringLiteral("verified")).toBool(), false);
        QVERIFY(result.value(QStringLiteral("firstMismatch")).isNull());
        QVERIFY(result.value(QStringLiteral("error")).isNull());
        QTRY_VERIFY_WITH_TIMEOUT(flashHolds(module, image, (uno ? kUno : kMega).flash),
                                 kFlashFileWaitMs);
        QByteArray backup;
        QVERIFY(convertHexFile(result.value(QStringLiteral("file")).toString(), &backup).ok());
        QCOMPARE(backup, earlier);
    }

    // read gives back exactly what was written, one copy per board and run:
    // a second run, likely in the same second, keeps the first run's copy.
    for (int twice = 0; twice < 2; ++twice) {
        const CliRun read = runCli(words("read --board %1 -o %2", { board, copies.path() })
                                   + targetsOf(modules.modules));
        QVERIFY2(read.exitCode == kExitSuccess, qPrintable(read.describe()));
    }
    for (const ModuleProcess::Module &module : modules.modules) {
        const QStringList names
            = QDir(copies.path())
                  .entryList({ module.address.toString() + QStringLiteral("-*.hex") });
        QCOMPARE(names.size(), 2);
        for (const QString &name : names) {
            QByteArray copy;
            QVERIFY(convertHexFile(copies.filePath(name), &copy).ok());
            QCOMPARE(copy, image);
        }
    }
    // "-o -": the copy is all there is on standard output.
    const ModuleProcess::Module &first = modules.modules.at(0);
    const CliRun piped = runCli(words("read --board %1 -o - %2", { board, targetOf(first) }));
    QVERIFY2(piped.exitCode == kExitSuccess, qPrintable(piped.describe()));
    QVERIFY(piped.out.startsWith(':') && piped.out.endsWith(":00000001FF\r\n"));
    // The bytes kept, in the progress line as in the summary.
    QVERIFY2(piped.err.contains(QStringLiteral("done %1 bytes").arg(size))
                 && piped.err.contains(QStringLiteral(": %1 bytes in").arg(size)),
             qPrintable(piped.describe()));
    QCOMPARE(convertHexText(piped.out.toLatin1()).image, image);
    // Uploading the backup puts the earlier program back.
    const CliRun restore
        = runCli({ QStringLiteral("upload"),
                   resultFor(report, targetOf(first)).value(QStringLiteral("file")).toString(),
                   QStringLiteral("--board"), board, targetOf(first) });
    QVERIFY2(restore.exitCode == kExitSuccess, qPrintable(restore.describe()));
    QTRY_VERIFY_WITH_TIMEOUT(fileContents(flashFileOf(first)).startsWith(earlier),
                             kFlashFileWaitMs);
}

void CliTest::verifyPassesAndFindsTheCorruptByte_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("pageSize");

    QTest::newRow("UNO") << "UNO" << kUno.page;
    QTest::newRow("MEGA2560") << "MEGA2560" << kMega.page;
}

void CliTest::verifyPassesAndFindsTheCorruptByte()
{
    QFETCH(QString, board);
    QFETCH(int, pageSize);
    const QString kind
        = board == QLatin1String("UNO") ? QStringLiteral("uno") : QStringLiteral("mega");
    constexpr int kCorruptPage = 2;
    const QByteArray image = randomImage(5000, 4);
    const QString hex = writeHex(QStringLiteral("verify.hex"), image, 4);

    ModuleProcess modules;
    QVERIFY(modules.start(words("--count 2 --address 127.0.0.131 --board %1 --announce-ms 0 --and "
                                "--board %2 --announce-ms 0 --corrupt-page %3",
                                { kind, kind, QString::number(kCorruptPage) })));
    const QStringList targets = targetsOf(modules.modules);

    // The two sound modules pass.
    CliRun run
        = runCli(words("upload %1 --board %2 --verify --json", { hex, board }) + targets.mid(0, 2));
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    for (const QString &target : targets.mid(0, 2)) {
        const QJsonObject result = resultFor(run.json(), target);
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QCOMPARE(result.value(QStringLiteral("verified")).toBool(), true);
    }

    // With the faulty one among them, it alone fails, at the first byte of its bad page.
    run = runCli(words("upload %1 --board %2 --verify --json", { hex, board }) + targets);
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    const QJsonObject report = run.json();
    QCOMPARE(report.value(QStringLiteral("succeeded")).toInt(), 2);
    QCOMPARE(report.value(QStringLiteral("failed")).toInt(), 1);
    const QJsonObject bad = resultFor(report, targets.at(2));
    QCOMPARE(bad.value(QStringLiteral("status")).toString(), QStringLiteral("verify-failed"));
    QCOMPARE(bad.value(QStringLiteral("verified")).toBool(), false);
    QCOMPARE(bad.value(QStringLiteral("firstMismatch")).toInt(), kCorruptPage * pageSize);
    QVERIFY2(
        bad.value(QStringLiteral("error"))
            .toString()
            .contains(QStringLiteral("0x%1").arg(kCorruptPage * pageSize, 4, 16, QLatin1Char('0'))),
        qPrintable(run.out));

    // Without --verify the same fault goes unnoticed, as it does in the window.
    run = runCli(QStringList { QStringLiteral("upload"), hex, QStringLiteral("--board"), board,
                               QStringLiteral("--json"), targets.at(2) });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
}

void CliTest::refusedTargetFailsWhileOthersSucceed()
{
    const QByteArray image = randomImage(3000, 5);
    const QString hex = writeHex(QStringLiteral("refused.hex"), image, 5);
    ModuleProcess modules;
    QVERIFY(
        modules.start(words("--count 2 --address 127.0.0.141 --announce-ms 0 --flash-out %1 --and "
                            "--announce-ms 0 --refuse-data --and --announce-ms 0 --at-one-byte",
                            { flashPattern() })));
    const QStringList targets = targetsOf(modules.modules);

    const CliRun run = runCli(words("upload %1 --board mega2560", { hex }) + targets);
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    // Not a terminal: plain lines, no cursor movements.
    QVERIFY(!run.out.contains(QLatin1Char('\x1b')));
    QVERIFY2(run.out.contains(targets.at(0) + QStringLiteral(": writing 100%")),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("UNREACHABLE    ") + targets.at(2)
                              + QStringLiteral(": cannot connect to data port ")),
             qPrintable(run.out));
    // A one-byte AT answer: the module was reached and refused the handshake.
    QVERIFY2(run.out.contains(QStringLiteral("FAILED         ") + targets.at(3)
                              + QStringLiteral(": the module refused the handshake")),
             qPrintable(run.out));
    QVERIFY2(run.out.endsWith(QLatin1String("2 of 4 targets succeeded, 2 failed.\n")),
             qPrintable(run.out));
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(run.out.contains(QStringLiteral("ok             ") + targets.at(i)
                                  + QStringLiteral(": 3000 bytes in ")),
                 qPrintable(run.out));
        QTRY_VERIFY_WITH_TIMEOUT(flashHolds(modules.modules.at(i), image, kMega.flash),
                                 kFlashFileWaitMs);
    }

    // With --json the engine's system error lines stay off standard error.
    const CliRun json = runCli(words("upload %1 --board mega2560 --json", { hex }) + targets);
    QVERIFY2(json.exitCode == kExitFailure, qPrintable(json.describe()));
    QCOMPARE(json.json().value(QStringLiteral("failed")).toInt(), 2);
    QVERIFY2(json.err.isEmpty(), qPrintable(json.describe()));
}

void CliTest::targetsByAnnouncedName()
{
    const QString name = uniqueName("named");
    const QByteArray image = randomImage(2000, 6);
    const QString hex = writeHex(QStringLiteral("named.hex"), image, 6);
    ModuleProcess modules;
    QVERIFY(modules.start(words(
        "--count 3 --address 127.0.0.151 --board uno --name %1 --announce-ms 200 --flash-out %2",
        { name, flashPattern() })));
    const QString first = modules.modules.at(0).name;
    const QString third = modules.modules.at(2).name;

    CliRun run = runCli(words("upload %1 --board UNO --name %2 --name %3 --seconds 20 --json",
                              { hex, first, third }));
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    const QJsonArray results = run.json().value(QStringLiteral("results")).toArray();
    QCOMPARE(results.size(), 2);
    for (int i : { 0, 2 }) {
        const ModuleProcess::Module &module = modules.modules.at(i);
        const QJsonObject result = resultFor(run.json(), targetOf(module));
        QCOMPARE(result.value(QStringLiteral("name")).toString(), module.name);
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(flashHolds(module, image, kUno.flash), kFlashFileWaitMs);
    }
    // The module that was not named was left alone.
    QVERIFY(!QFile::exists(flashFileOf(modules.modules.at(1))));

    // A name nobody announces fails, and nothing else is touched.
    run = runCli(words("upload %1 --board UNO --name %2 --seconds 0.5 --json",
                       { hex, uniqueName("nobody") }));
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    const QJsonObject missing
        = run.json().value(QStringLiteral("results")).toArray().at(0).toObject();
    QCOMPARE(missing.value(QStringLiteral("status")).toString(), QStringLiteral("not-found"));
    QVERIFY(missing.value(QStringLiteral("target")).isNull());
    QCOMPARE(missing.value(QStringLiteral("name")).toString(), uniqueName("nobody"));

    // A name heard from two addresses is refused, unless all are wanted.
    ModuleProcess twin;
    QVERIFY(twin.start(
        words("--address 127.0.0.154 --board uno --name %1 --announce-ms 200 --flash-out %2",
              { first, flashPattern() })));
    const QStringList byName
        = words("upload %1 --board UNO --name %2 --seconds 20 --json", { hex, first });
    run = runCli(byName);
    QVERIFY2(run.exitCode == kExitUsage, qPrintable(run.describe()));
    QVERIFY2(run.err.contains(QLatin1String("more than one address"))
                 && run.err.contains(modules.modules.at(0).address.toString())
                 && run.err.contains(QLatin1String("127.0.0.154")),
             qPrintable(run.describe()));
    // Each line names its module, with the address where the name is shared.
    run = runCli(byName.mid(0, byName.size() - 1)
                 + QStringList { QStringLiteral("--all-matching") });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QVERIFY2(run.out.contains(QStringLiteral("2 of 2 targets succeeded")), qPrintable(run.out));
    for (const QString &target : { targetOf(modules.modules.at(0)), targetOf(twin.modules.at(0)) })
        QVERIFY2(
            run.out.contains(first + QStringLiteral(" (") + target + QStringLiteral("): done")),
            qPrintable(run.out));
}

void CliTest::timeLimitStopsAStalledUpload()
{
    const QString hex = writeHex(QStringLiteral("stalled.hex"), randomImage(3000, 7), 7);
    ModuleProcess modules;
    // The fifth command (a parameter query) is carried out but never answered:
    // the worker would wait five times three seconds for it.
    QVERIFY(modules.start(words("--address 127.0.0.161 --announce-ms 0 --no-reply 5")));
    QElapsedTimer clock;
    clock.start();
    const CliRun run = runCli(words("upload %1 --board MEGA2560 --timeout 1 --json %2",
                                    { hex, targetOf(modules.modules.at(0)) }));
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    const QJsonObject result
        = run.json().value(QStringLiteral("results")).toArray().at(0).toObject();
    QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("timeout"));
    QVERIFY2(result.value(QStringLiteral("error"))
                 .toString()
                 .startsWith(QLatin1String("no result within 1 s; stopped")),
             qPrintable(run.out));
    // Stopped when asked, not at the end of the step's own fifteen seconds.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

void CliTest::signalsStopTheUploadsAndReport_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("twice");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("read"); // read instead of upload
    QTest::newRow("SIGINT") << int(SIGINT) << false << false << 130 << false;
    QTest::newRow("SIGTERM, JSON") << int(SIGTERM) << true << false << 143 << false;
#ifndef Q_OS_WIN
    QTest::newRow("SIGHUP") << int(SIGHUP) << false << false << 129 << false;
#endif
    QTest::newRow("a second SIGINT ends at once") << int(SIGINT) << false << true << 130 << false;
    QTest::newRow("read, SIGINT") << int(SIGINT) << false << false << 130 << true;
}

void CliTest::signalsStopTheUploadsAndReport()
{
    QFETCH(int, signal);
    QFETCH(bool, json);
    QFETCH(bool, twice);
    QFETCH(int, exitCode);
    QFETCH(bool, read);
#ifdef Q_OS_WIN
    QSKIP("the test sends POSIX signals");
#endif
    constexpr int kBoards = 4;
    // Long enough for every worker to be under way.
    constexpr int kUnderWayMs = 1000;
    // A stopped worker ends within its slice; a second signal ends the program.
    constexpr int kStopMs = 1500;
    constexpr int kSignalGapMs = 200;
    const QString hex = writeHex(QStringLiteral("interrupted.hex"), randomImage(3000, 9), 9);
    ModuleProcess modules;
    // Each upload waits for a reply that never comes (see the time limit test).
    QVERIFY(modules.start(words("--count %1 --address 127.0.0.165 --announce-ms 0 --no-reply 5",
                                { QString::number(kBoards) })));
    QTemporaryDir copies;
    QStringList arguments = read
        ? QStringList { QStringLiteral("read"), QStringLiteral("-o"), copies.path() }
        : QStringList { QStringLiteral("upload"), hex };
    arguments << QStringLiteral("--board") << QStringLiteral("MEGA2560");
    if (json)
        arguments << QStringLiteral("--json");
    arguments << targetsOf(modules.modules);

    // For the second signal, a worker that cannot stop at once: its data
    // port's listen queue is full, so its connect waits out its 3 s.
    QTcpServer full;
    std::vector<std::unique_ptr<QTcpSocket>> queued;
    if (twice) {
        constexpr int kMoreThanTheQueue = 80;
        QVERIFY(full.listen(QHostAddress::LocalHost));
        full.pauseAccepting();
        for (int i = 0; i < kMoreThanTheQueue; ++i) {
            queued.push_back(std::make_unique<QTcpSocket>());
            queued.back()->connectToHost(QHostAddress::LocalHost, full.serverPort());
        }
        arguments << QStringLiteral("127.0.0.1:%1:1").arg(full.serverPort());
    }

    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    QVERIFY(cli.waitForStarted(ModuleProcess::kStartMs));
    QTest::qWait(kUnderWayMs);
    QCOMPARE(cli.state(), QProcess::Running);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(TestKit::sendSignal(cli.processId(), signal));
    if (twice) {
        // Apart, or the system merges the two into one.
        QTest::qWait(kSignalGapMs);
        clock.restart();
        QVERIFY(TestKit::sendSignal(cli.processId(), signal));
    }
    QVERIFY(cli.waitForFinished(kCliLimitMs));
    const qint64 stoppedMs = clock.elapsed();
    CliRun run;
    run.finished = true;
    run.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    run.out = QString::fromUtf8(cli.readAllStandardOutput());
    run.err = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(stoppedMs < kStopMs, qPrintable(QString::number(stoppedMs)));

    const QString name = QString::fromLatin1(
        signal == SIGINT ? "SIGINT" : (signal == SIGTERM ? "SIGTERM" : "SIGHUP"));
    if (twice) {
        // Gone before any report.
        QVERIFY2(!run.out.contains(QLatin1String("succeeded")), qPrintable(run.describe()));
    } else if (json) {
        const QJsonArray results = run.json().value(QStringLiteral("results")).toArray();
        QCOMPARE(results.size(), kBoards);
        for (const QJsonValue &result : results) {
            QCOMPARE(result.toObject().value(QStringLiteral("status")).toString(),
                     QStringLiteral("interrupted"));
            QCOMPARE(result.toObject().value(QStringLiteral("error")).toString(),
                     QStringLiteral("interrupted by %1; stopped").arg(name));
        }
    } else {
        QCOMPARE(run.out.count(QStringLiteral("INTERRUPTED")), kBoards);
        QVERIFY2(run.out.contains(QStringLiteral("interrupted by %1; stopped").arg(name)),
                 qPrintable(run.describe()));
        QVERIFY2(run.out.contains(QStringLiteral("0 of 4 targets succeeded, 4 failed (4 "
                                                 "interrupted).")),
                 qPrintable(run.describe()));
    }
}

void CliTest::renameReachesTheModule()
{
    const QString name = uniqueName("old");
    const QString renamed = uniqueName("new");
    ModuleProcess modules;
    QVERIFY(modules.start(
        words("--address 127.0.0.171 --name %1 --announce-ms 200 --and --announce-ms 0 --refuse-at",
              { name })));
    const ModuleProcess::Module &module = modules.modules.at(0);

    CliRun run = runCli({ QStringLiteral("rename"), module.address.toString(),
                          QString::number(module.atPort), renamed });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe()));
    QCOMPARE(run.out,
             QStringLiteral("Sent AT+HOSTNAME=%1 to %2:%3.\n")
                 .arg(renamed, module.address.toString())
                 .arg(module.atPort));

    // The module announces itself under its new name from then on.
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        run = runCli(words("list --seconds 1 --json"));
        for (const QJsonValue &value : run.json().value(QStringLiteral("modules")).toArray()) {
            const QJsonObject entry = value.toObject();
            if (entry.value(QStringLiteral("address")).toString() == module.address.toString())
                seen = entry.value(QStringLiteral("name")).toString() == renamed;
        }
    }
    QVERIFY2(seen, qPrintable(run.out));

    const ModuleProcess::Module &refusing = modules.modules.at(1);
    run = runCli({ QStringLiteral("rename"), refusing.address.toString(),
                   QString::number(refusing.atPort), QStringLiteral("x") });
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe()));
    QVERIFY2(run.err.contains(QLatin1String("cannot connect to the AT port")), qPrintable(run.err));
}

void CliTest::liveDisplayOnATerminal()
{
    // util-linux's script runs the program on a pseudo terminal of its own.
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("no 'script' program to provide a terminal");
    const QString hex = writeHex(QStringLiteral("live.hex"), randomImage(6000, 8), 8);
    ModuleProcess modules;
    QVERIFY(modules.start(words("--count 2 --address 127.0.0.181 --announce-ms 0")));
    const QString command = QStringLiteral("%1 upload %2 --board MEGA2560 --verify %3")
                                .arg(QStringLiteral(RUDIREZE_CLI_EXE), hex,
                                     targetsOf(modules.modules).join(QLatin1Char(' ')));
    QProcess process;
    process.start(script, { QStringLiteral("-qec"), command, QStringLiteral("/dev/null") });
    QVERIFY(process.waitForStarted(ModuleProcess::kStartMs));
    QVERIFY(process.waitForFinished(kCliLimitMs));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(process.exitCode() == kExitSuccess, qPrintable(out));
    // Both lines are drawn again in place, and end full with the result.
    QVERIFY2(out.contains(QLatin1String("\x1b[2A")), qPrintable(out));
    const QString full = QStringLiteral("[########################] 100%");
    for (const QString &target : targetsOf(modules.modules)) {
        const QRegularExpression done(QRegularExpression::escape(target)
                                      + QStringLiteral(" +done +")
                                      + QRegularExpression::escape(full));
        QVERIFY2(done.match(out).hasMatch(), qPrintable(out));
    }
    QVERIFY2(out.contains(QLatin1String("2 of 2 targets succeeded, 0 failed.")), qPrintable(out));
}

void CliTest::stationFlashesEachArrivalOnce()
{
    const QString prefix = uniqueName("bench");
    const QByteArray image = randomImage(3000, 9);
    const QString hex = writeHex(QStringLiteral("station.hex"), image, 9);
    const QString csvPath = QDir::current().absoluteFilePath(QStringLiteral("station.csv"));
    QFile::remove(csvPath);
    QProcess station;
    station.start(QStringLiteral(RUDIREZE_CLI_EXE),
                  words("station %1 --board MEGA2560 --name %2 --log %3 --seconds %4",
                        { hex, prefix + QStringLiteral("-?"), csvPath,
                          QString::number(ModuleProcess::kLifetimeSeconds) }));
    QVERIFY(station.waitForStarted(ModuleProcess::kStartMs));
    QString out;
    const auto saw = [&](const QString &text, int times) {
        return QTest::qWaitFor(
            [&] {
                out += QString::fromUtf8(station.readAllStandardOutput());
                return out.count(text) >= times;
            },
            kStationWaitMs);
    };
    QVERIFY(saw(QStringLiteral("Flashing"), 1));
    const auto module = [&](const char *address, const char *name, const QStringList &more) {
        return words("--address %1 --name %2 --flash-out %3 --announce-ms 200",
                     { QLatin1String(address), prefix + QLatin1String(name), flashPattern() })
            + more;
    };
    const auto done = [&](const char *status, const char *name) {
        return QString::fromLatin1(status).leftJustified(13) + prefix + QLatin1String(name);
    };
    // a leaves after 4 s; c refuses the data connection and announces all
    // along; no pattern matches "other".
    auto a = std::make_unique<ModuleProcess>();
    ModuleProcess others;
    QVERIFY(a->start(module("127.0.0.191", "-a", { QStringLiteral("--exit-after"), "4" })));
    QVERIFY(others.start(module("127.0.0.193", "-c", { "--refuse-data", "--and" })
                         + module("127.0.0.194", "-other", {})));
    QVERIFY2(saw(done("ok", "-a"), 1), qPrintable(out));
    QVERIFY2(saw(done("UNREACHABLE", "-c"), 1), qPrintable(out));
    QVERIFY(a->process.waitForFinished(kStationWaitMs));
    QVERIFY2(saw(QStringLiteral("left         127.0.0.191"), 1), qPrintable(out));
    // A new board where a was, and a new module b.
    a = std::make_unique<ModuleProcess>();
    QVERIFY(a->start(module("127.0.0.191", "-a", {})));
    ModuleProcess b;
    QVERIFY(b.start(module("127.0.0.192", "-b", {})));
    QVERIFY2(saw(done("ok", "-a"), 2), qPrintable(out));
    QVERIFY2(saw(done("ok", "-b"), 1), qPrintable(out));
    // d never answers its fifth command: in progress when the station is
    // stopped, and cut short by the second Ctrl-C.
    ModuleProcess d;
    QVERIFY(d.start(module("127.0.0.195", "-d", { "--no-reply", "5" })));
    QVERIFY2(saw(done("started", "-d"), 1), qPrintable(out));
#ifdef Q_OS_WIN
    QSKIP("stopping the station takes POSIX signals");
#endif
    QVERIFY(TestKit::sendSignal(station.processId(), SIGINT));
    QVERIFY2(saw(QStringLiteral("Stopping: no new boards; waiting for the 1"), 1), qPrintable(out));
    QVERIFY(TestKit::sendSignal(station.processId(), SIGINT));
    QVERIFY(station.waitForFinished(kStationWaitMs));
    out += QString::fromUtf8(station.readAllStandardOutput());
    QCOMPARE(station.exitCode(), kExitFailure);
    QVERIFY2(out.contains(QLatin1String("Flashed 3 boards, 1 failed, 1 interrupted")),
             qPrintable(out));

    // The log: every board once per arrival, every line complete.
    const QStringList lines
        = QString::fromUtf8(fileContents(csvPath)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.value(0), QStringLiteral("time,name,address,board,bytes,seconds,result,error"));
    QMap<QString, QStringList> results;
    for (const QString &line : lines.mid(1)) {
        const QStringList fields = line.split(QLatin1Char(','));
        QVERIFY2(fields.size() >= 8 && fields.at(3) == QLatin1String("MEGA2560"), qPrintable(line));
        if (fields.at(6) == QLatin1String("ok"))
            QCOMPARE(fields.at(4).toInt(), image.size());
        results[fields.at(1)] << fields.at(6);
    }
    QCOMPARE(lines.size(), 6);
    QCOMPARE(results.value(prefix + "-a"), QStringList({ "ok", "ok" }));
    QCOMPARE(results.value(prefix + "-b"), QStringList({ "ok" }));
    QCOMPARE(results.value(prefix + "-c"), QStringList({ "unreachable" }));
    QCOMPARE(results.value(prefix + "-d"), QStringList({ "interrupted" }));
    QTRY_VERIFY_WITH_TIMEOUT(flashHolds(b.modules.at(0), image, kMega.flash), kFlashFileWaitMs);
    QVERIFY(!QFile::exists(flashFileOf(others.modules.at(1))));
}

// Made-up modules announced far faster than boards can be flashed: a real
// module is flashed all the same, the process keeps its descriptors in
// bounds, and the modules for which the wait has no room are counted, not
// listed.
void CliTest::stationUnderAFlood_data()
{
    QTest::addColumn<QString>("fakes"); // "silent" data port, ports that "refuse", or "unusable"
    QTest::newRow("fakes whose AT port answers and data port stays silent") << "silent";
    QTest::newRow("fakes whose ports refuse") << "refuse";
    QTest::newRow("fakes whose data port is no number") << "unusable";
}

void CliTest::stationUnderAFlood()
{
    QFETCH(QString, fakes);
    const bool silentData = fakes == QLatin1String("silent");
    constexpr int kParallel = 4;
    constexpr int kFakesPerSlice = 20;
    constexpr int kSliceMs = 10;
    constexpr int kFloodLimitMs = 30000;
    constexpr int kFloodFirstMs = 2000;
    // Two connections, a thread's wake-up and a little more for each board
    // in progress, and what any process holds.
    constexpr int kDescriptorLimit = 8 * kParallel + 32;
    const QString prefix = uniqueName("flood");
    const QString hex = writeHex(QStringLiteral("flood.hex"), randomImage(3000, 11), 11);
    // The fakes' ports: an AT port that answers every command, a data port
    // that takes connections and never says a word; or nothing at all.
    QTcpServer atPort;
    QTcpServer dataPort;
    QVERIFY(atPort.listen(QHostAddress::AnyIPv4) && dataPort.listen(QHostAddress::AnyIPv4));
    connect(&atPort, &QTcpServer::newConnection, &atPort, [&atPort] {
        QTcpSocket *at = atPort.nextPendingConnection();
        connect(at, &QTcpSocket::readyRead, at, [at] {
            at->readAll();
            at->write("OK\r\n");
        });
    });
    dataPort.pauseAccepting();
    const QByteArray fakePorts
        = QStringLiteral("\",\"data port\":\"%1\",\"atcomd port\":\"%2\",\"hostname\":\"%3-fake\"}")
              .arg(fakes == QLatin1String("unusable")
                       ? QStringLiteral("x")
                       : QString::number(silentData ? dataPort.serverPort() : 1))
              .arg(silentData ? atPort.serverPort() : 1)
              .arg(prefix)
              .toUtf8();

    QProcess station;
    station.start(QStringLiteral(RUDIREZE_CLI_EXE),
                  words("station %1 --board MEGA2560 --name %2 --parallel %3 --seconds %4",
                        { hex, prefix + "-*", QString::number(kParallel),
                          QString::number(ModuleProcess::kLifetimeSeconds) }));
    QVERIFY(station.waitForStarted(ModuleProcess::kStartMs));
    QTRY_VERIFY(station.canReadLine());
    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const QString flashed = QStringLiteral("ok").leftJustified(13) + prefix + "-real";
    const QString fd = QStringLiteral("/proc/%1/fd").arg(station.processId());
    std::unique_ptr<ModuleProcess> real;
    QString out;
    int most = 0;
    int fake = 0;
    QElapsedTimer clock;
    clock.start();
    // The real module comes once the flood has filled the wait.
    while (!out.contains(flashed) && clock.elapsed() < kFloodLimitMs
           && station.state() == QProcess::Running) {
        for (int i = 0; i < kFakesPerSlice; ++i, ++fake)
            sender.writeDatagram("{\"host ip\":\"127.1." + QByteArray::number(fake >> 8 & 0xFF)
                                     + '.' + QByteArray::number(fake & 0xFF) + fakePorts,
                                 QHostAddress::LocalHost, kAnnouncementPort);
        QTest::qWait(kSliceMs);
        out += QString::fromUtf8(station.readAllStandardOutput());
        most = qMax(most, QDir(fd).entryList(QDir::System | QDir::NoDotAndDotDot).size());
        if (!real && clock.elapsed() > kFloodFirstMs) {
            real = std::make_unique<ModuleProcess>();
            QVERIFY(real->start({ "--address", "127.0.0.211", "--name", prefix + "-real",
                                  "--flash-out", flashPattern() }));
        }
    }
    QVERIFY2(out.contains(flashed), qPrintable(out.right(3000)));
    QVERIFY2(most <= kDescriptorLimit, qPrintable(QString::number(most)));
    station.terminate();
    QVERIFY(station.waitForFinished(kStationWaitMs * 2));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    // Fakes that fail at once may all be tried; the others found no room
    // and are only counted, in far fewer lines than there were fakes.
    // Fakes that name no port are not tried at all: no line, no failure.
    if (fakes == QLatin1String("unusable")) {
        QVERIFY2(!out.contains(prefix + "-fake"), qPrintable(out.right(3000)));
        QCOMPARE(station.exitCode(), kExitSuccess);
    }
    if (fakes != QLatin1String("refuse")) {
        QVERIFY2(out.contains(QRegularExpression(
                     QStringLiteral("waiting +\\d+ modules for 4 places; dropped \\d+ times"))),
                 qPrintable(out.right(3000)));
        QVERIFY2(out.count(QLatin1Char('\n')) < fake / 4, qPrintable(QString::number(fake)));
    }
}

QTEST_MAIN(CliTest)
#include "tst_cli.moc"
