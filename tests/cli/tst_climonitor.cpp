// After the upload, against simulated boards running their real bootloaders:
// upload --monitor, monitor, avrdude through proxy, and the package.
#include "cli/commandline.h"
#include "cli/monitor.h"
#include "hexwriter.h"
#include "modulethread.h"
#include "realboards.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#endif

using namespace RealBoards;

namespace {
constexpr int kStartTimeoutMs = 5000;
constexpr int kRunTimeoutMs = 120000;
constexpr int kPackageTimeoutMs = 300000;
constexpr char kMonitorSeconds[] = "60";
constexpr int kAvrdudeRecordBytes = 16;
// Long enough for a client that would be served or dropped to see it.
constexpr int kWaitingMs = 1000;
const QByteArray kTypedLine = QByteArrayLiteral("hello board");

QString targetOf(ModuleThread &modules)
{
    return QStringLiteral("%1:%2:%3")
        .arg(modules.address(0).toString())
        .arg(modules.dataPort(0))
        .arg(modules.atPort(0));
}

// A program run to its end (killed at the limit), with what it printed.
struct Run
{
    int exitCode = -1;
    QByteArray out;
    QString describe;
};

Run finish(QProcess &process, int limitMs = kRunTimeoutMs)
{
    const bool finished
        = QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, limitMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(kStartTimeoutMs);
    }
    Run run;
    run.exitCode
        = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.describe = QStringLiteral("%1 %2: exit %3\n--- stdout\n%4--- stderr\n%5")
                       .arg(process.program(), process.arguments().join(QLatin1Char(' ')))
                       .arg(run.exitCode)
                       .arg(QString::fromLocal8Bit(run.out),
                            QString::fromLocal8Bit(process.readAllStandardError()));
    return run;
}

// The port a proxy printed when it started listening; 0 when it did not.
quint16 listeningPort(QProcess &proxy)
{
    if (!QTest::qWaitFor([&proxy] { return proxy.canReadLine(); }, kStartTimeoutMs))
        return 0;
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Listening on 127\\.0\\.0\\.1:(\\d+) "))
              .match(QString::fromLocal8Bit(proxy.readLine()));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

// rudireze-cli uploading to the module: the board runs faster once reached.
Run uploadRun(ModuleThread &modules, const QStringList &arguments)
{
    const ModuleCounters before = modules.counters(0);
    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    cli.closeWriteChannel();
    speedUpOnceReached(modules, 0, before.resets, before.dataBytesIn);
    Run run = finish(cli);
    modules.setSimulationSpeed(0, kRealTime);
    return run;
}
} // namespace

class CliMonitorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refused_data();
    void refused();
    void format_data();
    void format();
    void uploadMonitorAndEcho();
    void avrdudeThroughProxy_data();
    void avrdudeThroughProxy();
    void monitorEndsOnAFailure_data();
    void monitorEndsOnAFailure();
    void proxyBadInput_data();
    void proxyBadInput();
    void proxyServesOneClientAtATime_data();
    void proxyServesOneClientAtATime();
    void proxyAndMonitorEnds_data();
    void proxyAndMonitorEnds();
    void proxyWarnsOfAnOpenAddress_data();
    void proxyWarnsOfAnOpenAddress();
    void packageHoldsThePrograms();

private:
    quint32 nextAddress = QHostAddress(QStringLiteral("127.0.0.170")).toIPv4Address();
};

void CliMonitorTest::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void CliMonitorTest::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("monitor without target") << QStringList { "monitor" } << "exactly one target";
    QTest::newRow("monitor, two targets")
        << QStringList { "monitor", "127.0.0.1:1", "--name", "x" } << "exactly one target";
    QTest::newRow("monitor, bad --eol")
        << QStringList { "monitor", "127.0.0.1:1", "--eol", "lfcr" } << "bad --eol";
    QTest::newRow("proxy without AT port")
        << QStringList { "proxy", "127.0.0.1:1", "--board", "UNO" } << "bad target";
    QTest::newRow("proxy without board") << QStringList { "proxy", "127.0.0.1:1:2" } << "--board";
    QTest::newRow("proxy, bad --listen")
        << QStringList { "proxy", "127.0.0.1:1:2", "--board", "UNO", "--listen", "localhost:80" }
        << "bad --listen";
    QTest::newRow("upload --monitor, two targets")
        << QStringList { "upload",        "a.hex",         "--board",  "UNO",
                         "127.0.0.1:1:2", "127.0.0.2:1:2", "--monitor" }
        << "exactly one target";
    QTest::newRow("upload --monitor --all")
        << QStringList { "upload", "a.hex", "--board", "UNO", "--all", "--monitor" }
        << "exactly one target";
    QTest::newRow("upload --until without --monitor")
        << QStringList { "upload", "a.hex", "--board", "UNO", "127.0.0.1:1:2", "--until", "ok" }
        << "need --monitor";
}

void CliMonitorTest::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

void CliMonitorTest::format_data()
{
    QTest::addColumn<bool>("timestamp");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << false << false << QByteArrayList { "a\r\nb", "c\n" }
                           << QByteArray("a\r\nbc\n");
    QTest::newRow("timestamp across pieces") << true << false << QByteArrayList { "ab", "c\nd" }
                                             << QByteArray("[12:34:56.789] abc\n[12:34:56.789] d");
    QTest::newRow("hex breaks after line feeds and 16 bytes")
        << false << true << QByteArrayList { "A\n", QByteArray(17, '\xff') }
        << QByteArray("41 0a\nff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\nff");
}

void CliMonitorTest::format()
{
    QFETCH(bool, timestamp);
    QFETCH(bool, hex);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, expected);
    MonitorFormat monitorFormat(timestamp, hex);
    QByteArray text;
    for (const QByteArray &piece : pieces)
        text += monitorFormat.format(piece, QTime(12, 34, 56, 789));
    QCOMPARE(text, expected);
}

// The echo program prints its line once, right after the bootloader: only a
// connection kept from the upload sees it. Then a typed line comes back.
void CliMonitorTest::uploadMonitorAndEcho()
{
    QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
    const BoardFiles::Sketch tiny = BoardFiles::sketch(QStringLiteral("tiny-uno"));
    const QString echoHex = QFileInfo(tiny.hexPath).dir().filePath(QStringLiteral("echo-uno.hex"));
    BoardFiles::Sketch echo = tiny;
    echo.hexPath = echoHex;
    const QByteArray image = sketchImage(echo, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));

    ModuleThread modules;
    QVERIFY2(modules.start(1, simulatedModules(BoardKind::Uno, QHostAddress(nextAddress++)), &why),
             qPrintable(why));
    const QString target = targetOf(modules);

    // The README's PlatformIO upload_command with $SOURCE and the target filled in.
    Run run = uploadRun(modules,
                        { QStringLiteral("upload"), echoHex, QStringLiteral("--board"),
                          QStringLiteral("UNO"), target, QStringLiteral("--verify") });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe));
    QCOMPARE(modules.flash(0).left(image.size()), image);

    run = uploadRun(modules,
                    { QStringLiteral("upload"), echoHex, QStringLiteral("--board"),
                      QStringLiteral("UNO"), target, QStringLiteral("--monitor"),
                      QStringLiteral("--until"), QStringLiteral("sketch echo-uno ok"),
                      QStringLiteral("--seconds"), QLatin1String(kMonitorSeconds) });
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe));
    QVERIFY2(run.out.contains("sketch echo-uno ok\r\n"), qPrintable(run.describe));

    QProcess monitor;
    monitor.start(QStringLiteral(RUDIREZE_CLI_EXE),
                  { QStringLiteral("monitor"), target, QStringLiteral("--eol"),
                    QStringLiteral("crlf"), QStringLiteral("--until"),
                    QString::fromLatin1(kTypedLine + "\r\n"), QStringLiteral("--seconds"),
                    QLatin1String(kMonitorSeconds) });
    QVERIFY(monitor.waitForStarted(kStartTimeoutMs));
    monitor.write(kTypedLine + '\n');
    // The end of input does not end a monitor that waits for its text.
    monitor.closeWriteChannel();
    run = finish(monitor);
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe));
    QCOMPARE(run.out, kTypedLine + "\r\n");
}

void CliMonitorTest::avrdudeThroughProxy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("avrdudeOptions");
    // The sketch and one byte more, which lands in the boot section.
    QTest::addColumn<bool>("oneByteMore");
    const QStringList uno { QStringLiteral("-p"), QStringLiteral("m328p"), QStringLiteral("-c"),
                            QStringLiteral("arduino") };
    QTest::newRow("UNO") << QStringLiteral("full-uno") << uno << false;
    QTest::newRow("MEGA2560") << QStringLiteral("tiny-mega")
                              << QStringList { QStringLiteral("-p"), QStringLiteral("m2560"),
                                               QStringLiteral("-c"), QStringLiteral("wiring"),
                                               QStringLiteral("-D") }
                              << false;
    QTest::newRow("UNO, one byte into the bootloader") << QStringLiteral("full-uno") << uno << true;
}

void CliMonitorTest::avrdudeThroughProxy()
{
    QFETCH(QString, name);
    QFETCH(QStringList, avrdudeOptions);
    QFETCH(bool, oneByteMore);
    QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
    if (avrdudeProgram().isEmpty())
        QSKIP("avrdude is not installed");
    const BoardFiles::Sketch sketch = BoardFiles::sketch(name);
    const QByteArray image = sketchImage(sketch, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));
    ModuleThread modules;
    QVERIFY2(modules.start(1, simulatedModules(sketch.kind, QHostAddress(nextAddress++)), &why),
             qPrintable(why));
    const int bootStart = int(boardTraits(sketch.kind).bootStart);
    const QByteArray bootloader = modules.flash(0).mid(bootStart);
    QString hexPath = sketch.hexPath;
    if (oneByteMore) {
        QRandomGenerator random(1);
        QFile hex(QStringLiteral("one-byte-more.hex"));
        QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // In the records avrdude takes: 16 bytes each, linear addresses.
        HexWriter writer(random);
        writer.addressing = HexWriter::Linear;
        writer.maxRecordBytes = kAvrdudeRecordBytes;
        hex.write(writer.write({ { 0, image + '\0' } }));
        hex.close();
        hexPath = QFileInfo(hex).absoluteFilePath();
    }

    QProcess proxy;
    proxy.start(QStringLiteral(RUDIREZE_CLI_EXE),
                { QStringLiteral("proxy"), targetOf(modules), QStringLiteral("--board"),
                  deviceText(sketch.kind), QStringLiteral("--clients"), QStringLiteral("1"),
                  QStringLiteral("--seconds"), QString::number(kRunTimeoutMs / 1000) });
    QVERIFY(proxy.waitForStarted(kStartTimeoutMs));
    const quint16 port = listeningPort(proxy);
    QVERIFY(port != 0);

    QProcess avrdude;
    avrdude.setProcessChannelMode(QProcess::MergedChannels);
    avrdude.start(
        avrdudeProgram(),
        avrdudeOptions << QStringLiteral("-P") << QStringLiteral("net:127.0.0.1:%1").arg(port)
                       << QStringLiteral("-U") << QStringLiteral("flash:w:%1:i").arg(hexPath));
    QVERIFY(avrdude.waitForStarted(kStartTimeoutMs));
    speedUpOnceReached(modules, 0, 0, 0);
    const Run written = finish(avrdude);
    const Run served = finish(proxy);
    QVERIFY2(served.exitCode == kExitSuccess, qPrintable(served.describe));
    QVERIFY2(modules.flash(0).left(image.size()) == image, qPrintable(written.describe));
    // The boot lock bits keep the bootloader whole: what reached into its
    // section shows as a flash that differs from the image.
    QCOMPARE(modules.flash(0).mid(bootStart), bootloader);
    if (oneByteMore)
        QVERIFY2(written.exitCode != 0 && written.describe.contains(QLatin1String("mismatch")),
                 qPrintable(written.describe));
    else
        QVERIFY2(written.exitCode == 0, qPrintable(written.describe + served.describe));
}

// A data port nobody listens on, or a connection the module closes: a
// message and exit 1, even while waiting for a text.
void CliMonitorTest::monitorEndsOnAFailure_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("message");
    // Run on a terminal: the connection is announced before the board speaks.
    QTest::addColumn<bool>("terminal");
    QTest::newRow("unreachable") << false << QStringLiteral("cannot connect to the data port")
                                 << false;
    QTest::newRow("connection lost") << true << QStringLiteral("was lost") << false;
    QTest::newRow("connection lost, on a terminal") << true << QStringLiteral("was lost") << true;
}

void CliMonitorTest::monitorEndsOnAFailure()
{
    QFETCH(bool, listening);
    QFETCH(QString, message);
    QFETCH(bool, terminal);
    // util-linux's script runs the program on a pseudo terminal of its own.
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (terminal && script.isEmpty())
        QSKIP("no 'script' program to provide a terminal");
    QTcpServer module;
    QVERIFY(module.listen(QHostAddress::LocalHost));
    const quint16 port = module.serverPort();
    if (!listening)
        module.close();
    connect(&module, &QTcpServer::newConnection, &module, [&module] {
        QTcpSocket *connection = module.nextPendingConnection();
        connection->write("last words\n");
        connection->disconnectFromHost();
    });
    const QStringList arguments { QStringLiteral("monitor"),
                                  QStringLiteral("127.0.0.1:%1").arg(port),
                                  QStringLiteral("--until"), QStringLiteral("never-sent") };
    QProcess monitor;
    if (terminal)
        monitor.start(script,
                      { QStringLiteral("-qec"),
                        QStringLiteral(RUDIREZE_CLI_EXE " ") + arguments.join(QLatin1Char(' ')),
                        QStringLiteral("/dev/null") });
    else
        monitor.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    // script's own input stays open: its end would reach the program as an end of input.
    if (!terminal)
        monitor.closeWriteChannel();
    const Run run = finish(monitor);
    QVERIFY2(run.exitCode == kExitFailure && run.describe.contains(message),
             qPrintable(run.describe));
    const QByteArray connected = "Connected to 127.0.0.1:" + QByteArray::number(port);
    QVERIFY2(run.describe.contains(QString::fromLatin1(connected)) == terminal,
             qPrintable(run.describe));
    if (terminal) {
        // Announced before the board's words.
        QVERIFY2(run.out.indexOf(connected) >= 0
                     && run.out.indexOf(connected) < run.out.indexOf("last words"),
                 qPrintable(run.describe));
        return;
    }
    QCOMPARE(run.out, listening ? QByteArray("last words\n") : QByteArray());
}

// A port in use, a module that cannot be reached or refuses the AT
// handshake: a message, exit 1, and nothing passed on to the module.
void CliMonitorTest::proxyBadInput_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("port in use") << QStringLiteral("port") << QStringLiteral("cannot listen on");
    QTest::newRow("no data port") << QStringLiteral("data")
                                  << QStringLiteral("cannot connect to the data port");
    QTest::newRow("handshake refused")
        << QStringLiteral("at") << QStringLiteral("the board was not reset");
    QTest::newRow("no data port, IPv6")
        << QStringLiteral("[::1]:1:2")
        << QStringLiteral("cannot connect to the data port [::1]:1:");
    // Found before the name is listened for.
    QTest::newRow("port in use, a module by name")
        << QStringLiteral("--name port") << QStringLiteral("cannot listen on");
}

void CliMonitorTest::proxyBadInput()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    ModuleOptions options;
    options.address = QHostAddress(nextAddress++);
    options.announceIntervalMs = 0;
    options.faults.refuseData = fault == QLatin1String("data");
    options.faults.oneByteAtReply = fault == QLatin1String("at");
    ModuleThread modules;
    QString why;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));

    const QStringList target = fault.startsWith(QLatin1Char('['))
        ? QStringList { fault }
        : (fault.startsWith(QLatin1String("--name"))
               ? QStringList { QStringLiteral("--name"), QStringLiteral("nobody") }
               : QStringList { targetOf(modules) });
    QStringList arguments = QStringList { QStringLiteral("proxy") } + target
        + QStringList { QStringLiteral("--board"), QStringLiteral("MEGA2560"),
                        QStringLiteral("--seconds"), QString::number(kRunTimeoutMs / 1000) };
    if (fault.endsWith(QLatin1String("port")))
        arguments << QStringLiteral("--listen")
                  << QStringLiteral("127.0.0.1:%1").arg(taken.serverPort());
    QProcess proxy;
    proxy.start(QStringLiteral(RUDIREZE_CLI_EXE), arguments);
    QVERIFY(proxy.waitForStarted(kStartTimeoutMs));
    QTcpSocket client;
    if (!fault.endsWith(QLatin1String("port"))) {
        const quint16 port = listeningPort(proxy);
        QVERIFY(port != 0);
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(kStartTimeoutMs));
        client.write("0 ");
        client.flush();
    }
    const Run run = finish(proxy);
    QVERIFY2(run.exitCode == kExitFailure, qPrintable(run.describe));
    QVERIFY2(run.describe.contains(message), qPrintable(run.describe));
    QCOMPARE(modules.counters(0).dataBytesIn, qint64(0));
    if (fault != QLatin1String("port"))
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
}

// A client holds the board while bytes pass, and no longer than the idle
// time when none do; the next one waits, connected, in the listen queue (a
// client accepted and dropped makes avrdude retry at full speed) and gets
// the board after.
void CliMonitorTest::proxyServesOneClientAtATime_data()
{
    QTest::addColumn<bool>("firstSilent");
    QTest::newRow("the first client talks, then leaves") << false;
    QTest::newRow("the first client is silent") << true;
}

void CliMonitorTest::proxyServesOneClientAtATime()
{
    QFETCH(bool, firstSilent);
    ModuleOptions options;
    options.address = QHostAddress(nextAddress++);
    options.announceIntervalMs = 0;
    options.board = BoardType::Uno;
    ModuleThread modules;
    QString why;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));
    QProcess proxy;
    proxy.start(QStringLiteral(RUDIREZE_CLI_EXE),
                { QStringLiteral("proxy"), targetOf(modules), QStringLiteral("--board"),
                  QStringLiteral("UNO"), QStringLiteral("--idle"), QStringLiteral("2"),
                  QStringLiteral("--clients"), QStringLiteral("2"), QStringLiteral("--seconds"),
                  QString::number(kRunTimeoutMs / 1000) });
    QVERIFY(proxy.waitForStarted(kStartTimeoutMs));
    const quint16 port = listeningPort(proxy);
    QVERIFY(port != 0);

    // STK_GET_SYNC, answered STK_INSYNC STK_OK by the bootloader.
    const QByteArray sync = QByteArray::fromHex("3020");
    const QByteArray inSyncOk = QByteArray::fromHex("1410");
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(first.waitForConnected(kStartTimeoutMs));
    QTRY_COMPARE(modules.counters(0).resets, 1);
    // The replies may come a byte at a time.
    QByteArray firstReply;
    QByteArray secondReply;
    if (!firstSilent) {
        first.write(sync);
        QTRY_COMPARE(firstReply += first.readAll(), inSyncOk);
    }
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(second.waitForConnected(kStartTimeoutMs));
    // A program's retries pile up while it waits.
    second.write(sync + sync + sync);
    // While the first has the board, the second is neither served nor dropped.
    QTest::qWait(kWaitingMs);
    QCOMPARE(second.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(second.bytesAvailable(), qint64(0));
    QCOMPARE(modules.counters(0).resets, 1);

    if (!firstSilent)
        first.disconnectFromHost();
    // A silent first client loses the board after the idle time.
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(modules.counters(0).resets, 2, kReachedTimeoutMs);
    // What it sent while it waited is not passed on: the board answers only
    // what comes once it is in its bootloader, as for a client that just came.
    QTest::qWait(kWaitingMs);
    QCOMPARE(second.bytesAvailable(), qint64(0));
    second.write(sync);
    QTRY_COMPARE_WITH_TIMEOUT(secondReply += second.readAll(), inSyncOk, kReachedTimeoutMs);
    second.disconnectFromHost();
    const Run run = finish(proxy);
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe));
    QVERIFY2(run.describe.contains(QLatin1String("lost the board")) == firstSilent,
             qPrintable(run.describe));
    QVERIFY2(!run.describe.contains(QLatin1String("refused")), qPrintable(run.describe));
}

// The client alone decides how long it keeps the board; SIGTERM is told
// from an end asked for. The module here answers every AT command, and its
// board talks all the time, as a program may: a line every tenth of a second.
void CliMonitorTest::proxyAndMonitorEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("a silent client of a talking board loses it") << QStringLiteral("idle");
    QTest::newRow("a half-closed client still gets the answers") << QStringLiteral("half");
    QTest::newRow("proxy, SIGTERM") << QStringLiteral("proxy");
    QTest::newRow("monitor, SIGTERM") << QStringLiteral("monitor");
}

void CliMonitorTest::proxyAndMonitorEnds()
{
    QFETCH(QString, how);
    constexpr int kIdleEndMs = 5000;
    QTcpServer atPort;
    QTcpServer dataPort;
    QVERIFY(atPort.listen(QHostAddress::LocalHost) && dataPort.listen(QHostAddress::LocalHost));
    connect(&atPort, &QTcpServer::newConnection, &atPort, [&atPort] {
        QTcpSocket *at = atPort.nextPendingConnection();
        connect(at, &QTcpSocket::readyRead, at, [at] {
            at->readAll();
            at->write("OK\r\n");
        });
    });
    connect(&dataPort, &QTcpServer::newConnection, &dataPort, [&dataPort] {
        QTcpSocket *data = dataPort.nextPendingConnection();
        auto *talk = new QTimer(data);
        connect(talk, &QTimer::timeout, data, [data] { data->write("tick\n"); });
        talk->start(100);
    });
    const QString target
        = QStringLiteral("127.0.0.1:%1:%2").arg(dataPort.serverPort()).arg(atPort.serverPort());
    const bool proxy = how != QLatin1String("monitor");
    QProcess cli;
    cli.start(QStringLiteral(RUDIREZE_CLI_EXE),
              QStringList { proxy ? QStringLiteral("proxy") : QStringLiteral("monitor"), target,
                            QStringLiteral("--seconds"), QString::number(kRunTimeoutMs / 1000) }
                  + (proxy ? QStringList { "--board", "UNO", "--idle", "1" } : QStringList()));
    QVERIFY(cli.waitForStarted(kStartTimeoutMs));
    const quint16 port = proxy ? listeningPort(cli) : 0;
    if (!proxy || how == QLatin1String("proxy")) {
        QTRY_VERIFY(port != 0 || cli.bytesAvailable() > 0);
        cli.terminate();
        const Run run = finish(cli);
        QVERIFY2(run.exitCode == 143, qPrintable(run.describe));
        return;
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(kStartTimeoutMs));
    QByteArray heard;
    QTRY_VERIFY((heard += client.readAll()).contains("tick"));
    if (how == QLatin1String("half")) {
#ifdef Q_OS_WIN
        QSKIP("the test closes one side with shutdown(2)");
#else
        client.write("ask\n");
        QVERIFY(client.waitForBytesWritten(kStartTimeoutMs));
        const int before = heard.count("tick");
        QVERIFY(::shutdown(int(client.socketDescriptor()), SHUT_WR) == 0);
        // The board's lines go on reaching it after it finished sending,
        // well past the idle time, until it closes.
        QTRY_VERIFY_WITH_TIMEOUT((heard += client.readAll()).count("tick") >= before + 20,
                                 kIdleEndMs);
        client.abort();
        QByteArray said;
        QTRY_VERIFY((said += cli.readAllStandardOutput()).contains("Client done (1 served)"));
#endif
    } else {
        // Its silence ends its turn, however much the board says.
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, kIdleEndMs);
    }
    cli.terminate();
    const Run run = finish(cli);
    QVERIFY2(run.describe.contains(QLatin1String("lost the board")) == (how == "idle"),
             qPrintable(run.describe));
}

void CliMonitorTest::proxyWarnsOfAnOpenAddress_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<bool>("warned");
    QTest::newRow("loopback") << QStringLiteral("127.0.0.1:0") << false;
    QTest::newRow("every IPv4 address") << QStringLiteral("0.0.0.0:0") << true;
}

void CliMonitorTest::proxyWarnsOfAnOpenAddress()
{
    QFETCH(QString, listen);
    QFETCH(bool, warned);
    QProcess proxy;
    proxy.start(QStringLiteral(RUDIREZE_CLI_EXE),
                { QStringLiteral("proxy"), QStringLiteral("127.0.0.1:1:2"),
                  QStringLiteral("--board"), QStringLiteral("UNO"), QStringLiteral("--listen"),
                  listen, QStringLiteral("--seconds"), QStringLiteral("0.5") });
    QVERIFY(proxy.waitForStarted(kStartTimeoutMs));
    const Run run = finish(proxy);
    QVERIFY2(run.exitCode == kExitSuccess, qPrintable(run.describe));
    QCOMPARE(run.describe.count(QStringLiteral("anyone who can reach port")), warned ? 1 : 0);
}

// cpack's Debian package holds the programs, the desktop entry, the icon
// and the manual pages, and the packaged command-line tool runs.
void CliMonitorTest::packageHoldsThePrograms()
{
    if (QStandardPaths::findExecutable(QStringLiteral("dpkg-shlibdeps")).isEmpty())
        QSKIP("dpkg-dev is not installed");
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess cpack;
    cpack.setProcessChannelMode(QProcess::MergedChannels);
    cpack.start(QStringLiteral("cpack"),
                { QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                  QStringLiteral(RUDIREZE_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                  directory.path() });
    Run run = finish(cpack, kPackageTimeoutMs);
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe));
    const QStringList packages = QDir(directory.path()).entryList({ QStringLiteral("*.deb") });
    QCOMPARE(packages.size(), 1);
    const QString package = QDir(directory.path()).filePath(packages.first());

    QProcess dpkg;
    dpkg.start(QStringLiteral("dpkg-deb"), { QStringLiteral("-c"), package });
    run = finish(dpkg);
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe));
    for (const char *path :
         { "./usr/bin/rudireze\n", "./usr/bin/rudireze-cli\n",
           "./usr/share/applications/rudireze.desktop\n",
           "./usr/share/icons/hicolor/scalable/apps/rudireze.svg\n",
           "./usr/share/icons/hicolor/256x256/apps/rudireze.png\n",
           "./usr/share/man/man1/rudireze.1.gz\n", "./usr/share/man/man1/rudireze-cli.1.gz\n",
           "./usr/share/arduino/hardware/rudireze/avr/platform.txt\n" })
        QVERIFY2(run.out.contains(path), path);
    QVERIFY2(!run.out.contains("virtual-module") && !run.out.contains("tst_"),
             qPrintable(run.describe));
    dpkg.start(QStringLiteral("dpkg-deb"),
               { QStringLiteral("-f"), package, QStringLiteral("Depends") });
    run = finish(dpkg);
    QVERIFY2(run.out.contains("libqt5core5a") && run.out.contains("libqt5widgets5"),
             qPrintable(run.describe));

    const QString root = directory.filePath(QStringLiteral("root"));
    dpkg.start(QStringLiteral("dpkg-deb"), { QStringLiteral("-x"), package, root });
    QVERIFY2(finish(dpkg).exitCode == 0, "dpkg-deb -x failed");
    QProcess cli;
    cli.start(root + QStringLiteral("/usr/bin/rudireze-cli"), { QStringLiteral("--help") });
    run = finish(cli);
    QVERIFY2(run.exitCode == kExitSuccess && run.out.contains("Usage: rudireze-cli"),
             qPrintable(run.describe));
}

QTEST_GUILESS_MAIN(CliMonitorTest)
#include "tst_climonitor.moc"
