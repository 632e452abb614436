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
// "add ADDRESS LABEL", "remove ADDRESS", "list [A, B]".
QString summary(const QByteArray &line)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const QString type = object.value(QStringLiteral("eventType")).toString();
    const QJsonObject port = object.value(QStringLiteral("port")).toObject();
    const QString address = port.value(QStringLiteral("address")).toString();
    if (!line.endsWith('\n') || line.count('\n') != 1)
        return QStringLiteral("not one line: ") + QString::fromUtf8(line);
    if (object.value(QStringLiteral("error")).toBool())
        return type + QStringLiteral(" error: ")
            + object.value(QStringLiteral("message")).toString();
    if (type == QLatin1String("add"))
        return type + QLatin1Char(' ') + address + QLatin1Char(' ')
            + port.value(QStringLiteral("label")).toString();
    if (type == QLatin1String("remove"))
        return type + QLatin1Char(' ') + address + QLatin1Char(' ')
            + port.value(QStringLiteral("protocol")).toString();
    if (type == QLatin1String("list")) {
        QStringList addresses;
        for (const QJsonValue &listed : object.value(QStringLiteral("ports")).toArray())
            addresses << listed.toObject().value(QStringLiteral("address")).toString();
        return QStringLiteral("list [") + addresses.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    if (type == QLatin1String("hello"))
        return QStringLiteral("hello %1 ")
                   .arg(object.value(QStringLiteral("protocolVersion")).toInt())
            + object.value(QStringLiteral("message")).toString();
    if (type == QLatin1String("describe"))
        return type + QLatin1Char(' ')
            + QString::fromUtf8(
                   QJsonDocument(object.value(QStringLiteral("port_description")).toObject())
                       .toJson(QJsonDocument::Compact));
    return type + QLatin1Char(' ') + object.value(QStringLiteral("message")).toString();
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
    // module heard, "-IP" one fallen silent. Everything sent is read after
    // each step; "[start]" and "[stop]" mark the listening.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("bindFails");
    QTest::addColumn<QStringList>("sent");
    const QString a = QStringLiteral("+127.0.0.2 one 8000 8001");
    const QString b = QStringLiteral("+127.0.0.3 two 8002 8003");
    QTest::newRow("HELLO first, START, LIST, STOP, QUIT")
        << QStringList { "HELLO 1 \"arduino-cli 1.0.0\"",
                         "START",
                         "LIST",
                         a,
                         "LIST",
                         "STOP",
                         "LIST",
                         "QUIT" }
        << false
        << QStringList { "hello 1 OK",
                         "[start]",
                         "start OK",
                         "list []",
                         "list [127.0.0.2:8000:8001]",
                         "[stop]",
                         "stop OK",
                         "list error: not started: START first",
                         "quit OK" };
    QTest::newRow("a later client version falls back to 1")
        << QStringList { "HELLO 3 \"IDE 9\"" } << false << QStringList { "hello 1 OK" };
    QTest::newRow("IDE 1.8: START_SYNC without HELLO, ports come and go")
        << QStringList { "START_SYNC", a, b, a, "-127.0.0.2", "STOP", b } << false
        << QStringList { "[start]",
                         "start_sync OK",
                         "add 127.0.0.2:8000:8001 one (127.0.0.2)",
                         "add 127.0.0.3:8002:8003 two (127.0.0.3)",
                         "remove 127.0.0.2:8000:8001 rudireze",
                         "[stop]",
                         "stop OK" };
    QTest::newRow("a module changes its name, its ports, then its ports go bad")
        << QStringList { "START_SYNC", a, "+127.0.0.2 uno 8000 8001", "+127.0.0.2 uno 9000 8001",
                         "+127.0.0.2 uno x 8001" }
        << false
        << QStringList { "[start]",
                         "start_sync OK",
                         "add 127.0.0.2:8000:8001 one (127.0.0.2)",
                         "add 127.0.0.2:8000:8001 uno (127.0.0.2)",
                         "remove 127.0.0.2:8000:8001 rudireze",
                         "add 127.0.0.2:9000:8001 uno (127.0.0.2)",
                         "remove 127.0.0.2:9000:8001 rudireze" };
    QTest::newRow("each command out of its state is refused")
        << QStringList { "LIST",       "STOP", "HELLO 1 \"x\"", "START", "START",
                         "START_SYNC", "STOP", "START_SYNC",    "LIST",  "START",
                         "START_SYNC", "QUIT", "LIST" }
        << false
        << QStringList { "list error: not started: START first",
                         "stop error: not started",
                         "hello error: HELLO was already received",
                         "[start]",
                         "start OK",
                         "start error: already started",
                         "start_sync error: already started: STOP first",
                         "[stop]",
                         "stop OK",
                         "[start]",
                         "start_sync OK",
                         "list error: LIST is not available in START_SYNC mode",
                         "start error: already in START_SYNC mode: STOP first",
                         "start_sync error: already in START_SYNC mode",
                         "[stop]",
                         "quit OK" };
    QTest::newRow("malformed and unknown commands")
        << QStringList { "HELLO", "HELLO one \"x\"", "HELLO 1 \"a\"b\"", "HELLO 1 \"ok\"",
                         "start", "FOO bar",         "START now" }
        << false
        << QStringList { "command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "
                         "\"<USER_AGENT>\"",
                         "command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "
                         "\"<USER_AGENT>\"",
                         "command_error error: Invalid HELLO command: HELLO <PROTOCOL_VERSION> "
                         "\"<USER_AGENT>\"",
                         "hello 1 OK",
                         "command_error error: Unknown command start",
                         "command_error error: Unknown command FOO bar",
                         "command_error error: Unknown command START now" };
    QTest::newRow("the port cannot be bound")
        << QStringList { "START_SYNC", a, "LIST" } << true
        << QStringList { "[start]", "start_sync error: port taken",
                         "list error: not started: START first" };
    QTest::newRow("modules heard before START are not listed")
        << QStringList { a, "START", "LIST" } << false
        << QStringList { "[start]", "start OK", "list []" };
    QTest::newRow("Windows line ends, a line too long, then more")
        << QStringList { "START\r", QString(DiscoveryProtocol::kMaxCommandBytes + 1, 'X'), "QUIT" }
        << false
        << QStringList { "[start]", "start OK",
                         QStringLiteral("command_error error: Command longer than %1 bytes")
                             .arg(DiscoveryProtocol::kMaxCommandBytes),
                         "[stop]", "quit OK" };
}

void PluggableToolsTest::conversation()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, bindFails);
    QFETCH(QStringList, sent);

    QStringList seen;
    DiscoveryProtocol protocol({ [&](QString *error) {
                                    *error = QStringLiteral("port taken");
                                    seen << QStringLiteral("[start]");
                                    return !bindFails;
                                },
                                 [&] { seen << QStringLiteral("[stop]"); } });
    for (const QString &step : steps) {
        if (step.startsWith(QLatin1Char('+')))
            protocol.moduleHeard(module(step.mid(1).split(QLatin1Char(' '))));
        else if (step.startsWith(QLatin1Char('-')))
            protocol.moduleGone(step.mid(1));
        else
            protocol.receive(step.toUtf8() + '\n');
        seen << drained(protocol);
        QVERIFY(!protocol.hasOutput());
    }
    QCOMPARE(seen, sent);
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
    // "[open HOST PORT ADDRESS:DATAPORT]" and "[close]" mark the connection.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("sent");
    const QString open = QStringLiteral("OPEN 127.0.0.1:5000 127.0.0.2:8000:8001");
    QTest::newRow("HELLO, DESCRIBE, OPEN, CLOSE, QUIT")
        << QStringList { "HELLO 1 \"IDE 2.3\"", "DESCRIBE", open, "CLOSE", "QUIT" }
        << QStringList { "hello 1 OK",
                         "describe {\"configuration_parameters\":{},\"protocol\":\"rudireze\"}",
                         "[open 127.0.0.1 5000 127.0.0.2:8000]",
                         "open ok",
                         "[close]",
                         "close ok",
                         "quit OK" };
    QTest::newRow("HELLO must come first")
        << QStringList { "DESCRIBE", "QUIT" }
        << QStringList { "command_error error: HELLO must be the first command", "quit OK" };
    QTest::newRow("an end closes, QUIT while open")
        << QStringList { "HELLO 1 \"x\"", open, "!the module closed its data port", open, "QUIT" }
        << QStringList { "hello 1 OK",
                         "[open 127.0.0.1 5000 127.0.0.2:8000]",
                         "open ok",
                         "[close]",
                         "port_closed the module closed its data port",
                         "[open 127.0.0.1 5000 127.0.0.2:8000]",
                         "open ok",
                         "[close]",
                         "quit OK" };
    QTest::newRow("errors")
        << QStringList { "HELLO 1 \"x\"",
                         "HELLO 1 \"x\"",
                         "CLOSE",
                         "CONFIGURE baudrate 9600",
                         "CONFIGURE baudrate",
                         "OPEN 127.0.0.1:5000",
                         "OPEN 127.0.0.1:0 127.0.0.2:8000:8001",
                         "OPEN 127.0.0.1:5000 nowhere",
                         "OPEN 127.0.0.1:5000 127.0.0.9:8000:8001",
                         open,
                         open,
                         "LIST" }
        << QStringList {
               "hello 1 OK",
               "hello error: HELLO was already received",
               "close error: port already closed",
               "configure error: invalid parameter baudrate: a module's port has no settings",
               "command_error error: Invalid CONFIGURE command: CONFIGURE <PARAMETER_NAME> <VALUE>",
               "command_error error: Invalid OPEN command: OPEN <CLIENT_TCPIP_ADDRESS> "
               "<BOARD_PORT>",
               "open error: invalid client address 127.0.0.1:0",
               "open error: bad target 'nowhere': expected IP:DATAPORT or IP:DATAPORT:ATPORT, an "
               "IP address and ports from 1 to 65535",
               "[open 127.0.0.1 5000 127.0.0.9:8000]",
               "open error: cannot connect",
               "[open 127.0.0.1 5000 127.0.0.2:8000]",
               "open ok",
               "open error: port already opened",
               "command_error error: Unknown command LIST"
           };
}

void PluggableToolsTest::monitorConversation()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, sent);

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
    for (const QString &step : steps) {
        if (step.startsWith(QLatin1Char('!')))
            protocol.portClosed(step.mid(1));
        else
            protocol.receive(step.toUtf8() + '\n');
        seen << drained(protocol);
    }
    QCOMPARE(seen, sent);
}

void PluggableToolsTest::monitorToolPassesTheBytes()
{
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
