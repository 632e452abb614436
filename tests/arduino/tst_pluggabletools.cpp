// The pluggable tools for the Arduino IDEs: the discovery protocol as IDE
// 2.x and arduino-cli speak it, and as IDE 1.8 does (no HELLO); the monitor
// protocol; both without processes (commands in, lines out), and the monitor
// tool as a process between a stand-in module and a stand-in IDE.
#include "cli/discovery.h"
#include "cli/monitortool.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {
constexpr int kWaitMs = 10000;

// One line the protocol sent, in short: "start OK", "list error: ...",
// "add ADDRESS LABEL", "remove ADDRESS PROTOCOL", "list [A, B]".
QString summary(const QByteArray &line)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const QJsonObject port = object.value("port").toObject();
    const QString type = object.value("eventType").toString() + QLatin1Char(' ');
    if (!line.endsWith('\n') || line.count('\n') != 1)
        return QStringLiteral("not one line: ") + QString::fromUtf8(line);
    if (object.value("error").toBool())
        return type + QStringLiteral("error: ") + object.value("message").toString();
    if (!port.isEmpty())
        return type + port.value("address").toString() + QLatin1Char(' ')
            + port.value(port.contains("label") ? "label" : "protocol").toString();
    if (object.contains("ports")) {
        QStringList addresses;
        for (const QJsonValue &listed : object.value("ports").toArray())
            addresses << listed.toObject().value("address").toString();
        return type + QLatin1Char('[') + addresses.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    if (object.contains("port_description"))
        return type
            + QJsonDocument(object.value("port_description").toObject())
                  .toJson(QJsonDocument::Compact);
    const QJsonValue version = object.value("protocolVersion");
    return type + (version.isUndefined() ? QString() : QString::number(version.toInt()) + ' ')
        + object.value("message").toString();
}

QStringList drained(ToolProtocol &protocol)
{
    QStringList lines;
    while (const std::optional<QByteArray> line = protocol.takeOutput())
        lines << summary(*line);
    return lines;
}

Announcement module(const QStringList &fields)
{
    return Announcement { fields.value(0), fields.value(2), fields.value(3), fields.value(1) };
}

// A conversation, one step a line: "STEP => SENT; SENT...", what the
// protocol sends right after the step, in short (summary()). `act` carries
// out a step; what it sets off ("[start]" and the like) goes into `seen`.
void converse(ToolProtocol &protocol, const QString &script,
              const std::function<void(const QString &step)> &act, QStringList &seen)
{
    for (const QString &line : script.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString step = line.section(QStringLiteral(" =>"), 0, 0);
        const QString expected = line.section(QStringLiteral(" =>"), 1).trimmed();
        seen.clear();
        act(step);
        seen << drained(protocol);
        QCOMPARE(seen.join(QStringLiteral("; ")), expected);
    }
}
} // namespace

class PluggableToolsTest : public QObject
{
    Q_OBJECT

private slots:
    void conversation_data();
    void conversation();
    void portFields();
    void livenessOfTheWindow();
    void monitorConversation_data();
    void monitorConversation();
    void monitorToolPassesTheBytes();
};

void PluggableToolsTest::conversation_data()
{
    // Steps: a command line as the client sends it; "+IP NAME DATA AT" a
    // module heard, "-IP" one fallen silent; "~WHY" the port cannot be bound
    // from then on. "[start]" and "[stop]" mark the listening.
    QTest::addColumn<QString>("script");
    QTest::newRow("HELLO first, START, LIST, STOP, QUIT") << R"(
HELLO 1 "arduino-cli 1.0.0" => hello 1 OK
START => [start]; start OK
LIST => list []
+127.0.0.2 one 8000 8001 =>
LIST => list [127.0.0.2:8000:8001]
STOP => [stop]; stop OK
LIST => list error: not started: START first
QUIT => quit OK
LIST =>)";
    QTest::newRow("a later client version falls back to 1") << R"(
HELLO 3 "IDE 9" => hello 1 OK)";
    QTest::newRow("IDE 1.8: START_SYNC without HELLO, ports come and go") << R"(
START_SYNC => [start]; start_sync OK
+127.0.0.2 one 8000 8001 => add 127.0.0.2:8000:8001 one (127.0.0.2)
+127.0.0.3 two 8002 8003 => add 127.0.0.3:8002:8003 two (127.0.0.3)
+127.0.0.2 one 8000 8001 =>
-127.0.0.2 => remove 127.0.0.2:8000:8001 rudireze
STOP => [stop]; stop OK
+127.0.0.3 two 8002 8003 =>)";
    QTest::newRow("a module changes its name, its ports, then its ports go bad") << R"(
START_SYNC => [start]; start_sync OK
+127.0.0.2 one 8000 8001 => add 127.0.0.2:8000:8001 one (127.0.0.2)
+127.0.0.2 uno 8000 8001 => add 127.0.0.2:8000:8001 uno (127.0.0.2)
+127.0.0.2 uno 9000 8001 => remove 127.0.0.2:8000:8001 rudireze; add 127.0.0.2:9000:8001 uno (127.0.0.2)
+127.0.0.2 uno x 8001 => remove 127.0.0.2:9000:8001 rudireze)";
    QTest::newRow("each command out of its state is refused") << R"(
LIST => list error: not started: START first
STOP => stop error: not started
HELLO 1 "x" => hello error: HELLO was already received
START => [start]; start OK
START => start error: already started
START_SYNC => start_sync error: already started: STOP first
STOP => [stop]; stop OK
START_SYNC => [start]; start_sync OK
LIST => list error: LIST is not available in START_SYNC mode
START => start error: already in START_SYNC mode: STOP first
START_SYNC => start_sync error: already in START_SYNC mode
QUIT => [stop]; quit OK)";
    QTest::newRow("malformed and unknown commands") << R"(
HELLO => command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "<USER_AGENT>"
HELLO one "x" => command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "<USER_AGENT>"
HELLO 1 "a"b" => command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "<USER_AGENT>"
HELLO 1 "ok" => hello 1 OK
start => command_error error: Unknown command start
FOO bar => command_error error: Unknown command FOO bar
START now => command_error error: Unknown command START now)";
    QTest::newRow("the port cannot be bound") << R"(
~port taken =>
START_SYNC => [start]; start_sync error: port taken
+127.0.0.2 one 8000 8001 =>
LIST => list error: not started: START first)";
    QTest::newRow("modules heard before START are not listed") << R"(
+127.0.0.2 one 8000 8001 =>
START => [start]; start OK
LIST => list [])";
    QTest::newRow("Windows line ends, a line too long, then more")
        << QStringLiteral("\nSTART\r => [start]; start OK\n%1 => command_error error: Command "
                          "longer than %2 bytes\nQUIT => [stop]; quit OK")
               .arg(QString(DiscoveryProtocol::kMaxCommandBytes + 1, QLatin1Char('X')))
               .arg(DiscoveryProtocol::kMaxCommandBytes);
}

void PluggableToolsTest::conversation()
{
    QFETCH(QString, script);
    QStringList seen;
    QString bindError;
    DiscoveryProtocol protocol({ [&](QString *error) {
                                    seen << QStringLiteral("[start]");
                                    *error = bindError;
                                    return bindError.isEmpty();
                                },
                                 [&] { seen << QStringLiteral("[stop]"); } });
    converse(
        protocol, script,
        [&](const QString &step) {
            if (step.startsWith(QLatin1Char('+')))
                protocol.moduleHeard(module(step.mid(1).split(QLatin1Char(' '))));
            else if (step.startsWith(QLatin1Char('-')))
                protocol.moduleGone(step.mid(1));
            else if (step.startsWith(QLatin1Char('~')))
                bindError = step.mid(1);
            else
                protocol.receive(step.toUtf8() + '\n');
        },
        seen);
}

void PluggableToolsTest::portFields()
{
    const std::optional<QJsonObject> port
        = discoveryPort(Announcement { "127.0.0.2", "8000", "8001", "bench\x1b[2J" });
    QVERIFY(port);
    const QJsonObject fields { { "name", "bench\x1b[2J" },
                               { "address", "127.0.0.2" },
                               { "dataPort", "8000" },
                               { "atPort", "8001" } };
    QCOMPARE(*port,
             (QJsonObject { { "address", "127.0.0.2:8000:8001" },
                            { "label", "bench\\x1B[2J (127.0.0.2)" },
                            { "protocol", "rudireze" },
                            { "protocolLabel", "Wi-Fi modules" },
                            { "properties", fields },
                            { "prefs", fields } }));
    QVERIFY(!discoveryPort(Announcement { "127.0.0.2", "", "8001", "x" }));
    QVERIFY(!discoveryPort(Announcement { "127.0.0.2", "8000", "70000", "x" }));
}

void PluggableToolsTest::livenessOfTheWindow()
{
    // Heard just after a tick: gone at the fourth tick, about 8 s later.
    ModuleLiveness liveness;
    QVERIFY(liveness.heard(QStringLiteral("127.0.0.2")).listed());
    for (int tick = 1; tick <= 3; ++tick)
        QVERIFY2(liveness.tick().isEmpty(), qPrintable(QString::number(tick)));
    QCOMPARE(liveness.tick(), QStringList { "127.0.0.2" });
    QCOMPARE(liveness.heard(QStringLiteral("127.0.0.2")).outcome, ModuleAdmission::Outcome::Added);
}

void PluggableToolsTest::monitorConversation_data()
{
    // Steps: a command line; "!WHY" the connection closed from an end.
    // "[open HOST PORT ADDRESS:DATAPORT]" and "[close]" mark the connection;
    // the module at 127.0.0.9 cannot be reached.
    QTest::addColumn<QString>("script");
    QTest::newRow("HELLO, DESCRIBE, OPEN, CLOSE, QUIT") << R"(
HELLO 1 "IDE 2.3" => hello 1 OK
DESCRIBE => describe {"configuration_parameters":{},"protocol":"rudireze"}
OPEN 127.0.0.1:5000 127.0.0.2:8000:8001 => [open 127.0.0.1 5000 127.0.0.2:8000]; open ok
CLOSE => [close]; close ok
QUIT => quit OK)";
    QTest::newRow("HELLO comes first") << R"(
DESCRIBE => command_error error: HELLO must be the first command
QUIT => quit OK)";
    QTest::newRow("an end closes, QUIT while open") << R"(
HELLO 1 "x" => hello 1 OK
OPEN 127.0.0.1:5000 127.0.0.2:8000 => [open 127.0.0.1 5000 127.0.0.2:8000]; open ok
!the module closed its data port => [close]; port_closed the module closed its data port
OPEN 127.0.0.1:5000 127.0.0.2:8000 => [open 127.0.0.1 5000 127.0.0.2:8000]; open ok
QUIT => [close]; quit OK)";
    QTest::newRow("errors") << R"(
HELLO 1 "x" => hello 1 OK
HELLO 1 "x" => hello error: HELLO was already received
CLOSE => close error: port already closed
CONFIGURE baudrate 9600 => configure error: invalid parameter baudrate: a module's port has no settings
CONFIGURE baudrate => command_error error: Invalid CONFIGURE command: CONFIGURE <PARAMETER_NAME> <VALUE>
OPEN 127.0.0.1:5000 => command_error error: Invalid OPEN command: OPEN <CLIENT_TCPIP_ADDRESS> <BOARD_PORT>
OPEN 127.0.0.1:0 127.0.0.2:8000 => open error: invalid client address 127.0.0.1:0
OPEN 127.0.0.1:5000 nowhere => open error: bad target 'nowhere': expected IP:DATAPORT or IP:DATAPORT:ATPORT, an IP address and ports from 1 to 65535
OPEN 127.0.0.1:5000 127.0.0.9:8000 => [open 127.0.0.1 5000 127.0.0.9:8000]; open error: cannot connect
OPEN 127.0.0.1:5000 127.0.0.2:8000 => [open 127.0.0.1 5000 127.0.0.2:8000]; open ok
OPEN 127.0.0.1:5000 127.0.0.2:8000 => open error: port already opened
LIST => command_error error: Unknown command LIST)";
}

void PluggableToolsTest::monitorConversation()
{
    QFETCH(QString, script);
    QStringList seen;
    MonitorToolProtocol protocol(
        { [&](const QHostAddress &client, quint16 port, const Target &board) {
             seen << QStringLiteral("[open %1 %2 %3:%4]")
                         .arg(client.toString())
                         .arg(port)
                         .arg(board.address)
                         .arg(board.dataPort);
             return board.address == QLatin1String("127.0.0.9") ? QStringLiteral("cannot connect")
                                                                : QString();
         },
          [&] { seen << QStringLiteral("[close]"); } });
    converse(
        protocol, script,
        [&](const QString &step) {
            if (step.startsWith(QLatin1Char('!')))
                protocol.portClosed(step.mid(1));
            else
                protocol.receive(step.toUtf8() + '\n');
        },
        seen);
}

void PluggableToolsTest::monitorToolPassesTheBytes()
{
#ifdef Q_OS_WIN
    // Under Wine the tool answers QUIT but does not end while its standard
    // input reader is blocked; not yet seen on Windows itself.
    QSKIP("the monitor tool's end after QUIT is unproven under Wine");
#endif
    // A stand-in module's data port, and the address a stand-in IDE listens on.
    QTcpServer module;
    QTcpServer ide;
    QVERIFY(module.listen(QHostAddress::LocalHost) && ide.listen(QHostAddress::LocalHost));
    QProcess tool;
    tool.start(QStringLiteral(RUDIREZE_CLI_EXE), { QStringLiteral("monitor-tool") });
    tool.write(QStringLiteral("HELLO 1 \"test\"\nOPEN 127.0.0.1:%1 127.0.0.1:%2:1\n")
                   .arg(ide.serverPort())
                   .arg(module.serverPort())
                   .toUtf8());
    const auto nextLine = [&tool] {
        if (!QTest::qWaitFor([&tool] { return tool.canReadLine(); }, kWaitMs))
            return QStringLiteral("nothing within %1 ms").arg(kWaitMs);
        return summary(tool.readLine());
    };
    QCOMPARE(nextLine(), QStringLiteral("hello 1 OK"));
    QCOMPARE(nextLine(), QStringLiteral("open ok"));
    QVERIFY(module.hasPendingConnections() || module.waitForNewConnection(kWaitMs));
    QVERIFY(ide.hasPendingConnections() || ide.waitForNewConnection(kWaitMs));
    std::unique_ptr<QTcpSocket> board(module.nextPendingConnection());
    std::unique_ptr<QTcpSocket> editor(ide.nextPendingConnection());

    // Raw bytes both ways, a NUL and a line end without "\r" included.
    const QByteArray fromBoard("sketch ok\n\0\xff", 12);
    board->write(fromBoard);
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += editor->readAll(), received), fromBoard, kWaitMs);
    editor->write("typed\n");
    received.clear();
    QTRY_COMPARE_WITH_TIMEOUT((received += board->readAll(), received), QByteArray("typed\n"),
                              kWaitMs);

    // The board's end goes: the IDE is told, and the tool waits for more.
    board->close();
    QCOMPARE(nextLine(), QStringLiteral("port_closed the module closed its data port"));
    tool.write("QUIT\n");
    QCOMPARE(nextLine(), QStringLiteral("quit OK"));
    QVERIFY(tool.waitForFinished(kWaitMs));
    QCOMPARE(tool.exitCode(), kExitSuccess);
}

QTEST_GUILESS_MAIN(PluggableToolsTest)
#include "tst_pluggabletools.moc"
