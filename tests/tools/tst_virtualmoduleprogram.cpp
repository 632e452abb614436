// The virtual-module program: its command line, its lifetime and signals,
// its flash files and log, and avrdude as an independent peer.
#include "modulecommandline.h"
#include "moduleprocess.h"
#include "stkframes.h"
#include "testkit.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

using namespace StkFrames;
using namespace TestKit;

namespace {
constexpr int kWaitMs = 10000;
constexpr int kAvrdudeMs = 120000;

// The upload worker's handshake on a module's AT port.
bool handshake(const ModuleProcess::Module &module, const QByteArray &family)
{
    QTcpSocket at;
    return connectTo(at, module.address, module.atPort)
        && exchange(at, "AT+U2W=CLIENT\r\n", 4) == "OK\r\n"
        && exchange(at, "AT+MCUUPDATE=" + family, 4) == "OK\r\n";
}

QString quietAnnouncements()
{
    return QStringLiteral("--announce-ms=0");
}
} // namespace

class VirtualModuleProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void badArguments_data();
    void badArguments();
    void helpDocumentsEveryOption();
    void exitsAfterItsLifetime();
    void stopsCleanlyOnSignals_data();
    void stopsCleanlyOnSignals();
    void writesFlashOnRequestAndWhenTheClientLeaves();
    void startsFromAFlashFileAndLogs();
    void moduleThatCannotStart();
    void avrdudeProgramsTheModule_data();
    void avrdudeProgramsTheModule();
};

void VirtualModuleProgramTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected"); // per group: address board count name baud faults

    QTest::newRow("defaults") << QStringList {} << "127.0.0.2 mega 1 - 0 -";
    QTest::newRow("three groups follow each other")
        << QStringList { "--board",      "uno",    "--and",  "--count", "3",   "--and",
                         "--board=mega", "--baud", "115200", "--name",  "slow" }
        << "127.0.0.2 uno 1 - 0 -|127.0.0.3 mega 3 - 0 -|127.0.0.6 mega 1 slow 115200 -";
    QTest::newRow("own address, next group after it")
        << QStringList { "--address", "127.0.0.40", "--count", "2", "--and", "--board", "uno" }
        << "127.0.0.40 mega 2 - 0 -|127.0.0.42 uno 1 - 0 -";
    QTest::newRow("faults")
        << QStringList { "--split-replies",
                         "3:20",
                         "--short-reply",
                         "1",
                         "--long-reply",
                         "2",
                         "--no-reply",
                         "3",
                         "--close-data-at",
                         "4",
                         "--refuse-at",
                         "--refuse-data",
                         "--at-one-byte",
                         "--stop-announcing-after",
                         "2.5",
                         "--small-rx-buffer",
                         "--corrupt-page",
                         "7" }
        << "127.0.0.2 mega 1 - 0 split3/20 short1 long2 none3 close4 refuseat refusedata "
           "onebyte stop2500 smallrx corrupt7";
    QTest::newRow("bridge and uart")
        << QStringList { "--board", "uno-sim", "--bridge", "random",   "--bridge-seed", "42",
                         "--uart",  "lossy",   "--and",    "--bridge", "bytes" }
        << "127.0.0.2 uno 1 - 0 random42 lossy|127.0.0.3 mega 1 - 0 bytes";
    QTest::newRow("global options anywhere")
        << QStringList { "--board", "uno",   "--and", "--exit-after",
                         "1.5",     "--log", "x.log", "--quiet" }
        << "127.0.0.2 uno 1 - 0 -|127.0.0.3 mega 1 - 0 -";
}

void VirtualModuleProgramTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    VirtualModuleCommandLine parsed;
    QString error;
    QVERIFY2(parseVirtualModuleCommandLine(arguments, &parsed, &error), qPrintable(error));
    QStringList groups;
    for (const ModuleGroupSetup &g : qAsConst(parsed.groups)) {
        const ModuleOptions &o = g.options;
        const FaultOptions &f = o.faults;
        QStringList faults;
        if (f.splitPieces > 1)
            faults << QStringLiteral("split%1/%2").arg(f.splitPieces).arg(f.splitGapMs);
        const QList<QPair<int, const char *>> numbered = { { f.shortReplyAt, "short" },
                                                           { f.longReplyAt, "long" },
                                                           { f.noReplyAt, "none" },
                                                           { f.closeDataAt, "close" } };
        for (const auto &n : numbered) {
            if (n.first > 0)
                faults << QString::fromLatin1(n.second) + QString::number(n.first);
        }
        if (f.refuseAt)
            faults << "refuseat";
        if (f.refuseData)
            faults << "refusedata";
        if (f.oneByteAtReply)
            faults << "onebyte";
        if (f.stopAnnouncingAfterMs >= 0)
            faults << QStringLiteral("stop%1").arg(f.stopAnnouncingAfterMs);
        if (f.smallReceiveBuffer)
            faults << "smallrx";
        if (f.corruptPage >= 0)
            faults << QStringLiteral("corrupt%1").arg(f.corruptPage);
        if (o.link.bridge != BridgeMode::Packed)
            faults << bridgeModeName(o.link.bridge)
                    + (o.link.bridge == BridgeMode::Random ? QString::number(o.link.bridgeSeed)
                                                           : QString());
        if (o.link.lossyUart)
            faults << "lossy";
        groups << QStringLiteral("%1 %2 %3 %4 %5 %6")
                      .arg(o.address.toString(), boardTypeName(o.board))
                      .arg(g.count)
                      .arg(o.name.isEmpty() ? QStringLiteral("-") : o.name)
                      .arg(o.link.baud)
                      .arg(faults.isEmpty() ? QStringLiteral("-") : faults.join(' '));
    }
    QCOMPARE(groups.join('|'), expected);
    if (arguments.contains("--quiet")) {
        QCOMPARE(parsed.exitAfterMs, 1500);
        QCOMPARE(parsed.logPath, QStringLiteral("x.log"));
        QVERIFY(parsed.quiet);
    }
}

void VirtualModuleProgramTest::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList { "--fast" } << "unknown option --fast";
    QTest::newRow("no dashes") << QStringList { "uno" } << "unexpected argument \"uno\"";
    QTest::newRow("missing value") << QStringList { "--baud" } << "--baud needs a value";
    QTest::newRow("baud not a number")
        << QStringList { "--baud", "fast" } << "--baud needs a baud rate";
    QTest::newRow("board unknown")
        << QStringList { "--board", "pic" } << "--board needs uno or mega";
    QTest::newRow("count zero") << QStringList { "--count", "0" } << "--count needs a number";
    QTest::newRow("port too big") << QStringList { "--data-port", "70000" }
                                  << "--data-port needs a port";
    QTest::newRow("address not IPv4")
        << QStringList { "--address", "::1" } << "--address needs an IPv4";
    QTest::newRow("split of one") << QStringList { "--split-replies", "1" }
                                  << "--split-replies needs";
    QTest::newRow("command zero") << QStringList { "--no-reply", "0" }
                                  << "--no-reply needs a command";
    QTest::newRow("flag with value")
        << QStringList { "--refuse-at=yes" } << "--refuse-at takes no value";
    QTest::newRow("bridge unknown")
        << QStringList { "--bridge", "fast" } << "--bridge needs packed";
    QTest::newRow("uart unknown") << QStringList { "--uart", "x" } << "--uart needs paced or lossy";
    QTest::newRow("exit-after zero") << QStringList { "--exit-after", "0" } << "--exit-after needs";
    QTest::newRow("same address twice")
        << QStringList { "--count", "2", "--and", "--address", "127.0.0.3" }
        << "two modules would have the address 127.0.0.3";
    QTest::newRow("one flash file for two")
        << QStringList { "--count", "2", "--flash-out", "f.bin" } << "put %a or %n";
}

void VirtualModuleProgramTest::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    VirtualModuleCommandLine parsed;
    QString error;
    QVERIFY(!parseVirtualModuleCommandLine(arguments, &parsed, &error));
    QVERIFY2(error.contains(message), qPrintable(error));

    // The program says the same and exits with status 2 before listening.
    QProcess program;
    program.start(QStringLiteral(VIRTUAL_MODULE_EXE), arguments);
    QVERIFY(program.waitForFinished(kWaitMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    const QString stderrText = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(stderrText.contains(message), qPrintable(stderrText));
    QVERIFY(stderrText.contains("--help"));
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

void VirtualModuleProgramTest::helpDocumentsEveryOption()
{
    for (const QString &flag : { QStringLiteral("--help"), QStringLiteral("-h") }) {
        QProcess program;
        program.start(QStringLiteral(VIRTUAL_MODULE_EXE), { flag, "--bogus" });
        QVERIFY(program.waitForFinished(kWaitMs));
        QCOMPARE(program.exitCode(), 0);
        const QString text = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY(text.startsWith("Usage: virtual-module"));
        for (const char *option : { "--count",
                                    "--address",
                                    "--name",
                                    "--board",
                                    "--data-port",
                                    "--at-port",
                                    "--announce-ms",
                                    "--announce-to",
                                    "--in-bootloader",
                                    "--flash-in",
                                    "--flash-out",
                                    "--baud",
                                    "--latency-ms",
                                    "--page-write-us",
                                    "--split-replies",
                                    "--short-reply",
                                    "--long-reply",
                                    "--no-reply",
                                    "--close-data-at",
                                    "--refuse-at",
                                    "--refuse-data",
                                    "--at-one-byte",
                                    "--stop-announcing-after",
                                    "--small-rx-buffer",
                                    "--corrupt-page",
                                    "--exit-after",
                                    "--log",
                                    "--quiet",
                                    "--and",
                                    "SIGTERM",
                                    "SIGUSR1" })
            QVERIFY2(text.contains(QLatin1String(option)), option);
    }
}

void VirtualModuleProgramTest::exitsAfterItsLifetime()
{
    ModuleProcess program;
    QVERIFY(program.start({ quietAnnouncements(), "--board", "uno", "--and", quietAnnouncements(),
                            "--exit-after", "0.5" }));
    QCOMPARE(program.modules.size(), 2);
    QCOMPARE(program.modules.at(0).address.toString(), QStringLiteral("127.0.0.2"));
    QCOMPARE(program.modules.at(0).board, QStringLiteral("uno"));
    QCOMPARE(program.modules.at(1).address.toString(), QStringLiteral("127.0.0.3"));
    QCOMPARE(program.modules.at(1).name, QStringLiteral("vmodule-3"));
    QVERIFY(program.modules.at(1).dataPort != 0);
    QVERIFY(program.process.waitForFinished(kWaitMs));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QVERIFY(program.process.readAllStandardOutput().contains("exit lost-bytes=0\n"));
}

void VirtualModuleProgramTest::stopsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void VirtualModuleProgramTest::stopsCleanlyOnSignals()
{
    QFETCH(int, signalNumber);
    const QString flashFile = QDir::current().filePath(QStringLiteral("signal-%a.bin"));
    QFile::remove(flashOutPath(flashFile, QHostAddress("127.0.0.2"), 1));
    ModuleProcess program;
    QVERIFY(program.start(
        { quietAnnouncements(), "--board", "uno", "--in-bootloader", "--flash-out", flashFile }));
    QTcpSocket data;
    QVERIFY(connectTo(data, program.modules.at(0).address, program.modules.at(0).dataPort));
    QCOMPARE(exchange(data, v1LoadAddress(64) + v1ProgramPage(pattern(128, 6)), 4),
             hex("14101410"));

    QVERIFY(sendSignal(program.process.processId(), signalNumber));
    QVERIFY(program.process.waitForFinished(kWaitMs));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    const QByteArray flash = readFile(flashOutPath(flashFile, QHostAddress("127.0.0.2"), 1));
    QCOMPARE(flash.size(), 32 * 1024);
    QCOMPARE(flash.mid(128, 128), pattern(128, 6));
}

void VirtualModuleProgramTest::writesFlashOnRequestAndWhenTheClientLeaves()
{
    const QString pattern2 = QDir::current().filePath(QStringLiteral("live-%n.bin"));
    const QString first = flashOutPath(pattern2, {}, 1);
    const QString second = flashOutPath(pattern2, {}, 2);
    QFile::remove(first);
    QFile::remove(second);
    ModuleProcess program;
    QVERIFY(program.start({ quietAnnouncements(), "--count", "2", "--flash-out", pattern2 }));

    // On SIGUSR1 every module's file is written and the program goes on.
    QVERIFY(sendSignal(program.process.processId(), SIGUSR1));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(first) && QFile::exists(second), kWaitMs);
    QCOMPARE(readFile(first), QByteArray(256 * 1024, char(0xFF)));
    QCOMPARE(program.process.state(), QProcess::Running);

    // A whole upload of the second module, then the client leaves: its file
    // shows the pages.
    const ModuleProcess::Module &module = program.modules.at(1);
    QVERIFY(handshake(module, "MEGA"));
    {
        QTcpSocket data;
        QVERIFY(connectTo(data, module.address, module.dataPort));
        QCOMPARE(exchange(data, kSignOnFrame, kSignOnReply).size(), kSignOnReply);
        QCOMPARE(exchange(data, v2LoadAddress(2, 0), kShortFrameReply).size(), kShortFrameReply);
        QCOMPARE(exchange(data, v2ProgramPage(3, pattern(256, 8)), 8), v2(3, hex("1300")));
        data.disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(readFile(second).left(256), pattern(256, 8), kWaitMs);
    QCOMPARE(readFile(first).left(256), QByteArray(256, char(0xFF)));
}

void VirtualModuleProgramTest::startsFromAFlashFileAndLogs()
{
    const QString image = QDir::current().filePath(QStringLiteral("start.bin"));
    const QString logPath = QDir::current().filePath(QStringLiteral("module.log"));
    QFile::remove(logPath);
    QVERIFY(writeFile(image, pattern(200, 2)));
    ModuleProcess program;
    QVERIFY(program.start({ quietAnnouncements(), "--board", "uno", "--flash-in", image, "--log",
                            logPath, "--name", "logged" }));
    const ModuleProcess::Module &module = program.modules.at(0);
    QCOMPARE(module.name, QStringLiteral("logged"));
    QVERIFY(handshake(module, "UNO"));
    QTcpSocket data;
    QVERIFY(connectTo(data, module.address, module.dataPort));
    QCOMPARE(exchange(data, v1LoadAddress(0), 2), hex("1410"));
    QCOMPARE(exchange(data, v1ReadPage(128), 130).mid(1, 128), pattern(200, 2).left(128));
    QCOMPARE(exchange(data, v1LoadAddress(64), 2), hex("1410"));
    QCOMPARE(exchange(data, v1ReadPage(128), 130).mid(1, 128),
             pattern(200, 2).mid(128) + QByteArray(56, char(0xFF)));

    program.process.terminate();
    QVERIFY(program.process.waitForFinished(kWaitMs));
    const QString log = QString::fromUtf8(readFile(logPath));
    QVERIFY2(log.contains("127.0.0.2 at AT+U2W=CLIENT"), qPrintable(log));
    QVERIFY(log.contains("127.0.0.2 at AT+MCUUPDATE=UNO"));
    QVERIFY(log.contains("reset into the STK500v1 bootloader"));
    QVERIFY(log.contains("#4 0x74"));
}

void VirtualModuleProgramTest::moduleThatCannotStart()
{
    // An address that is not this host's: nothing can listen there.
    QProcess program;
    program.start(QStringLiteral(VIRTUAL_MODULE_EXE),
                  { quietAnnouncements(), "--address", "192.0.2.1", "--exit-after", "5" });
    QVERIFY(program.waitForFinished(kWaitMs));
    QCOMPARE(program.exitCode(), 1);
    QVERIFY(program.readAllStandardError().contains("cannot listen on 192.0.2.1"));
}

void VirtualModuleProgramTest::avrdudeProgramsTheModule_data()
{
    QTest::addColumn<QStringList>("moduleArguments");
    QTest::addColumn<QByteArray>("family");
    QTest::addColumn<QStringList>("programmer"); // avrdude's arguments before -P
    QTest::addColumn<int>("pageBytes");
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<QByteArray>("signature");
    QTest::newRow("UNO") << QStringList { "--board", "uno", "--baud", "115200" }
                         << QByteArray("UNO") << QStringList { "-c", "arduino", "-p", "m328p" }
                         << 128 << 3000 << QByteArray("0x1e950f");
    QTest::newRow("MEGA above 128 KiB")
        << QStringList { "--board", "mega", "--page-write-us", "500" } << QByteArray("MEGA")
        << QStringList { "-c", "wiring", "-p", "m2560", "-D" } << 256 << 140000
        << QByteArray("0x1e9801");
}

void VirtualModuleProgramTest::avrdudeProgramsTheModule()
{
    QFETCH(QStringList, moduleArguments);
    QFETCH(QByteArray, family);
    QFETCH(QStringList, programmer);
    QFETCH(int, pageBytes);
    QFETCH(int, imageBytes);
    QFETCH(QByteArray, signature);
    const QString avrdude = QStandardPaths::findExecutable(QStringLiteral("avrdude"));
    if (avrdude.isEmpty())
        QSKIP("avrdude is not installed");
    const QString board = QString::fromLatin1(family).toLower();
    const QString image = QDir::current().filePath(board + QStringLiteral("-image.bin"));
    const QString flashOut = QDir::current().filePath(board + QStringLiteral("-flash.bin"));
    QByteArray bytes;
    for (int page = 0; page * pageBytes < imageBytes; ++page)
        bytes += pattern(pageBytes, page);
    bytes.truncate(imageBytes);
    QVERIFY(writeFile(image, bytes));
    ModuleProcess program;
    QVERIFY(program.start(QStringList { quietAnnouncements() } + moduleArguments
                          + QStringList { "--flash-out", flashOut }));
    const ModuleProcess::Module &module = program.modules.at(0);
    QVERIFY(handshake(module, family));

    QProcess peer;
    peer.start(
        avrdude,
        programmer
            + QStringList {
                "-P",
                QStringLiteral("net:%1:%2").arg(module.address.toString()).arg(module.dataPort),
                "-U", QStringLiteral("flash:w:%1:r").arg(image) });
    QVERIFY(peer.waitForFinished(kAvrdudeMs));
    const QByteArray said = peer.readAllStandardError();
    QVERIFY2(peer.exitCode() == 0, said.constData());
    QVERIFY(said.contains("device signature = " + signature));
    QVERIFY(said.contains(QByteArray::number(imageBytes) + " bytes of flash verified"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(flashOut).left(imageBytes), bytes, kWaitMs);
}

QTEST_GUILESS_MAIN(VirtualModuleProgramTest)
#include "tst_virtualmoduleprogram.moc"
