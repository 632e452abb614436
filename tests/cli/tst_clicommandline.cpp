// rudireze-cli's arguments and its progress display, as plain code.
#include "cli/commandline.h"
#include "cli/progressview.h"
#include "cli/station.h"
#include "discovery/localaddress.h"
#include "platform/terminal.h"
#include "upload/boards.h"

#include <QHostAddress>

#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>

Q_DECLARE_METATYPE(Command)

namespace {
// Everything a ProgressView printed, through a real C stream.
class CapturedStream
{
public:
    CapturedStream()
        : stream(std::tmpfile())
    {
    }
    ~CapturedStream()
    {
        if (stream)
            std::fclose(stream);
    }
    CapturedStream(const CapturedStream &) = delete;
    CapturedStream &operator=(const CapturedStream &) = delete;

    std::FILE *file() const { return stream; }
    QString text() const
    {
        std::fflush(stream);
        std::rewind(stream);
        QByteArray bytes;
        char buffer[4096];
        size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
            bytes.append(buffer, int(count));
        std::fseek(stream, 0, SEEK_END);
        return QString::fromLocal8Bit(bytes);
    }

private:
    std::FILE *stream;
};
} // namespace

class CliCommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void ports_data();
    void ports();
    void targets_data();
    void targets();
    void boards_data();
    void boards();
    void seconds_data();
    void seconds();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void helpForEveryCommand();
    void stationLogLines_data();
    void stationLogLines();
    void repeatsWithinAPeriodCountOnce_data();
    void repeatsWithinAPeriodCountOnce();
    void ownAnnouncements_data();
    void ownAnnouncements();

    void progressLines_data();
    void progressLines();
    void plainDisplayPrintsQuarters();
    void terminalDisplayDrawsInPlace();
};

void CliCommandLineTest::ports_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // -1: refused

    QTest::newRow("lowest") << "1" << 1;
    QTest::newRow("highest") << "65535" << 65535;
    QTest::newRow("leading zero") << "08000" << 8000;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("too large") << "65536" << -1;
    QTest::newRow("far too large") << "4294967297" << -1;
    QTest::newRow("sign") << "+80" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("blank") << " 80" << -1;
    QTest::newRow("hex") << "0x50" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("letters") << "http" << -1;
}

void CliCommandLineTest::ports()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    const std::optional<quint16> parsed = parsePort(text);
    QCOMPARE(parsed ? int(*parsed) : -1, port);
}

void CliCommandLineTest::targets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("dataPort");
    QTest::addColumn<int>("atPort");
    QTest::addColumn<QString>("error"); // part of the message when refused

    QTest::newRow("IPv4") << "192.168.1.20:8000:8001"
                          << "192.168.1.20" << 8000 << 8001 << "";
    QTest::newRow("IPv6 in brackets") << "[::1]:8000:8001"
                                      << "::1" << 8000 << 8001 << "";
    QTest::newRow("IPv6 bare") << "fe80::2:8000:8001"
                               << "fe80::2" << 8000 << 8001 << "";
    QTest::newRow("one port") << "10.0.0.1:8000"
                              << "" << 0 << 0 << "expected IP:DATAPORT:ATPORT";
    QTest::newRow("no ports") << "10.0.0.1"
                              << "" << 0 << 0 << "expected IP:DATAPORT:ATPORT";
    QTest::newRow("host name") << "module.local:1:2"
                               << "" << 0 << 0 << "not an IP address";
    QTest::newRow("bad data port") << "10.0.0.1:0:8001"
                                   << "" << 0 << 0 << "bad data port '0'";
    QTest::newRow("bad AT port") << "10.0.0.1:8000:70000"
                                 << "" << 0 << 0 << "bad AT port '70000'";
    QTest::newRow("empty AT port") << "10.0.0.1:8000:"
                                   << "" << 0 << 0 << "bad AT port ''";
    QTest::newRow("empty") << ""
                           << "" << 0 << 0 << "expected IP:DATAPORT:ATPORT";
}

void CliCommandLineTest::targets()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, dataPort);
    QFETCH(int, atPort);
    QFETCH(QString, error);

    QString message;
    const std::optional<Target> target = parseTarget(text, &message);
    QCOMPARE(target.has_value(), !address.isEmpty());
    if (!target) {
        QVERIFY2(message.contains(error), qPrintable(message));
        QVERIFY2(message.contains(text), qPrintable(message));
        return;
    }
    QCOMPARE(target->address, address);
    QCOMPARE(int(target->dataPort), dataPort);
    QCOMPARE(int(target->atPort), atPort);
    // The text form reads back as the same target.
    QString again;
    const std::optional<Target> reparsed = parseTarget(target->text(), &again);
    QVERIFY(reparsed);
    QCOMPARE(reparsed->address, address);
}

void CliCommandLineTest::boards_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("board"); // empty: unknown

    QTest::newRow("UNO") << "UNO" << QStringLiteral("UNO");
    QTest::newRow("uno") << "uno" << QStringLiteral("UNO");
    QTest::newRow("mega2560") << "mega2560" << QStringLiteral("MEGA2560");
    QTest::newRow("ORVEX3") << "ORVEX3" << QStringLiteral("Orvex3");
    QTest::newRow("Orvex0") << "Orvex0" << QStringLiteral("Orvex0");
    QTest::newRow("MEGA") << "MEGA" << QString();
    QTest::newRow("blank around") << " UNO" << QString();
    QTest::newRow("empty") << "" << QString();
}

void CliCommandLineTest::boards()
{
    QFETCH(QString, text);
    QFETCH(QString, board);
    const Board *canonical = boardNamedIgnoringCase(text);
    QCOMPARE(canonical ? QString::fromLatin1(canonical->name) : QString(), board);
}

void CliCommandLineTest::seconds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("seconds"); // 0: refused

    QTest::newRow("whole") << "3" << 3.0;
    QTest::newRow("decimal") << "0.25" << 0.25;
    QTest::newRow("limit") << "3600" << 3600.0;
    QTest::newRow("over the limit") << "3600.5" << 0.0;
    QTest::newRow("zero") << "0" << 0.0;
    QTest::newRow("negative") << "-2" << 0.0;
    QTest::newRow("not a number") << "nan" << 0.0;
    QTest::newRow("infinite") << "inf" << 0.0;
    QTest::newRow("word") << "three" << 0.0;
}

void CliCommandLineTest::seconds()
{
    QFETCH(QString, text);
    QFETCH(double, seconds);
    const std::optional<double> parsed = parseSeconds(text, kMaxListenSeconds);
    QCOMPARE(parsed.value_or(0.0), seconds);
}

void CliCommandLineTest::accepted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Command>("command");
    QTest::addColumn<QString>("summary");

    const auto row
        = [](const char *name, QStringList arguments, Command command, const char *summary) {
              QTest::newRow(name) << arguments << command << QString::fromLatin1(summary);
          };
    row("list", { "list" }, Command::List,
        "help=0 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("list for 1.5 s as JSON", { "list", "--seconds", "1.5", "--json" }, Command::List,
        "help=0 json=1 seconds=1.5 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("seconds with =", { "list", "--seconds=7" }, Command::List,
        "help=0 json=0 seconds=7 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("convert to the default image", { "convert", "a.hex" }, Command::Convert,
        "help=0 json=0 seconds=3 file=a.hex out=update.bin board= targets= names= all=0 "
        "verify=0 timeout=600 rename=:0:");
    row("convert to a file", { "convert", "a.hex", "b.bin" }, Command::Convert,
        "help=0 json=0 seconds=3 file=a.hex out=b.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("a file that looks like an option", { "convert", "--", "-a.hex" }, Command::Convert,
        "help=0 json=0 seconds=3 file=-a.hex out=update.bin board= targets= names= all=0 "
        "verify=0 timeout=600 rename=:0:");
    row("upload to two", { "upload", "f.hex", "--board", "uno", "10.0.0.1:1:2", "10.0.0.2:3:4" },
        Command::Upload,
        "help=0 json=0 seconds=3 file=f.hex out=update.bin board=UNO "
        "targets=10.0.0.1:1:2,10.0.0.2:3:4 names= all=0 verify=0 timeout=600 rename=:0:");
    row("upload options anywhere",
        { "upload", "--verify", "f.hex", "--json", "--board=Mega2560", "--name", "a", "--name",
          "b c", "--all", "--seconds", "2", "--timeout", "30" },
        Command::Upload,
        "help=0 json=1 seconds=2 file=f.hex out=update.bin board=MEGA2560 targets= names=a,b c "
        "all=1 verify=1 timeout=30 rename=:0:");
    row("rename", { "rename", "127.0.0.2", "8001", "new name" }, Command::Rename,
        "help=0 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=127.0.0.2:8001:new name");
    row("help wins over missing arguments", { "upload", "--help" }, Command::Upload,
        "help=1 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("-h", { "rename", "-h" }, Command::Rename,
        "help=1 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("help COMMAND", { "help", "locate" }, Command::Locate,
        "help=1 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
    row("overview", { "--help" }, Command::None,
        "help=1 json=0 seconds=3 file= out=update.bin board= targets= names= all=0 verify=0 "
        "timeout=600 rename=:0:");
}

void CliCommandLineTest::accepted()
{
    QFETCH(QStringList, arguments);
    QFETCH(Command, command);
    QFETCH(QString, summary);

    const ParsedCommandLine parsed = parseCommandLine(arguments);
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    const Options &o = parsed.options;
    QCOMPARE(o.command, command);
    QStringList targets;
    for (const Target &t : o.targets)
        targets << t.text();
    const QString actual
        = QStringLiteral("help=%1 json=%2 seconds=%3 ").arg(o.help).arg(o.json).arg(o.seconds)
        + QStringLiteral("file=") + o.file + QStringLiteral(" out=") + o.output
        + QStringLiteral(" board=") + o.boardName() + QStringLiteral(" targets=")
        + targets.join(QLatin1Char(',')) + QStringLiteral(" names=")
        + o.names.join(QLatin1Char(','))
        + QStringLiteral(" all=%1 verify=%2 timeout=%3 ")
              .arg(o.all)
              .arg(o.verify)
              .arg(o.timeoutSeconds)
        + QStringLiteral("rename=") + o.renameAddress + QLatin1Char(':')
        + QString::number(o.renamePort) + QLatin1Char(':') + o.newName;
    QCOMPARE(actual, summary);
}

void CliCommandLineTest::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("nothing") << QStringList() << "no command given";
    QTest::newRow("unknown command") << QStringList { "flash" } << "unknown command 'flash'";
    QTest::newRow("option first") << QStringList { "--json" } << "a command comes first";
    QTest::newRow("help for nothing known")
        << QStringList { "help", "flash" } << "unknown command 'flash'";
    QTest::newRow("option of another command")
        << QStringList { "list", "--board", "UNO" } << "unknown option '--board' for list";
    QTest::newRow("short option") << QStringList { "list", "-s" } << "unknown option '-s' for list";
    QTest::newRow("value missing")
        << QStringList { "list", "--seconds" } << "--seconds needs a value";
    QTest::newRow("value to a switch")
        << QStringList { "list", "--json=yes" } << "--json takes no value";
    QTest::newRow("zero seconds") << QStringList { "list", "--seconds", "0" }
                                  << "bad --seconds '0'";
    QTest::newRow("list with an argument")
        << QStringList { "list", "now" } << "list takes no arguments, not 'now'";
    QTest::newRow("convert without a file")
        << QStringList { "convert" } << "convert needs a HEX file";
    QTest::newRow("convert with three")
        << QStringList { "convert", "a", "b", "c" } << "at most 2 arguments, not 'c'";
    QTest::newRow("upload without a board")
        << QStringList { "upload", "f.hex", "10.0.0.1:1:2" } << "upload needs --board";
    QTest::newRow("unknown board") << QStringList { "upload", "f.hex", "--board", "ATtiny85" }
                                   << "unknown board 'ATtiny85': use one of MEGA2560, UNO";
    QTest::newRow("upload without targets")
        << QStringList { "upload", "f.hex", "--board", "UNO" } << "upload needs a target";
    QTest::newRow("upload to a bad port")
        << QStringList { "upload", "f.hex", "--board", "UNO", "10.0.0.1:99999:2" }
        << "bad data port '99999'";
    QTest::newRow("empty name") << QStringList { "upload", "f.hex", "--board", "UNO", "--name=" }
                                << "--name needs a module name";
    QTest::newRow("bad timeout") << QStringList { "upload", "f.hex",     "--board", "UNO",
                                                  "--all",  "--timeout", "-1" }
                                 << "bad --timeout '-1'";
    QTest::newRow("rename with two")
        << QStringList { "rename", "10.0.0.1", "8001" } << "rename needs IP ATPORT NAME";
    QTest::newRow("rename a host name")
        << QStringList { "rename", "module.local", "8001", "x" } << "bad address 'module.local'";
    QTest::newRow("rename to port 0")
        << QStringList { "rename", "10.0.0.1", "0", "x" } << "bad AT port '0'";
    // An unset shell variable, most likely; the module would be left nameless.
    QTest::newRow("rename to nothing")
        << QStringList { "rename", "127.0.0.2", "8001", "" } << "bad name: a name cannot be empty";
    QTest::newRow("station, no boards at once")
        << QStringList { "station", "f.hex", "--board", "UNO", "--parallel", "0" }
        << "bad --parallel '0': a number of boards from 1 to 128";
    QTest::newRow("station, more at once than descriptors allow")
        << QStringList { "station", "f.hex", "--board", "UNO", "--parallel=129" }
        << "bad --parallel '129'";
}

void CliCommandLineTest::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    QVERIFY(!parsed.ok());
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

void CliCommandLineTest::helpForEveryCommand()
{
    const Command commands[] = { Command::None,   Command::List,   Command::Convert,
                                 Command::Locate, Command::Upload, Command::Rename };
    for (Command command : commands) {
        const QString usage = usageText(command);
        const QString name = commandName(command);
        QVERIFY(usage.startsWith(QStringLiteral("Usage: rudireze-cli ")
                                 + (name.isEmpty() ? QStringLiteral("COMMAND") : name)));
        QVERIFY2(usage.contains(QLatin1String("Exit status")), qPrintable(name));
        if (command != Command::None)
            QVERIFY2(usage.contains(QLatin1String("--help")), qPrintable(name));
    }
    for (const QString &board : boardNames())
        QVERIFY(usageText(Command::Upload).contains(board));
}

// Names a module chose, as a spreadsheet opening the log would take them,
// and as the terminal shows them (printable).
void CliCommandLineTest::stationLogLines_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("line");
    QTest::newRow("formulas") << QStringList { "=1+2", "-2+3", "+A1", "@SUM(A1)" }
                              << "'=1+2,'-2+3,'+A1,'@SUM(A1)";
    QTest::newRow("a command") << QStringList { "=cmd|' /C calc'!A0" } << "'=cmd|' /C calc'!A0";
    QTest::newRow("tab and carriage return first")
        << QStringList { "\t=1", "\r=1" } << "'\\x09=1,'\\x0D=1";
    QTest::newRow("escape, NUL and a line break")
        << QStringList { QStringLiteral("a\x1b[31m\0b\nc") } << "a\\x1B[31m\\x00b\\x0Ac";
    // Escaped as everything shown is: they would reorder the line around them.
    QTest::newRow("right-to-left override, an isolate and a mark")
        << QStringList { QStringLiteral("x\u202Ey"), QStringLiteral("\u2067a\u200F") }
        << "x\\u202Ey,\\u2067a\\u200F";
}

void CliCommandLineTest::stationLogLines()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, line);
    QCOMPARE(stationCsvLine(fields), line);
}

// Whether the station takes a module for one heard before: only when it was
// heard in the period before, however often it repeats within one.
void CliCommandLineTest::repeatsWithinAPeriodCountOnce_data()
{
    QTest::addColumn<QVector<qint64>>("times"); // when the address is heard, in ms
    QTest::addColumn<bool>("heardBefore"); // at the last of them
    constexpr qint64 period = RecentAddresses::kPeriodMs;
    QTest::newRow("forty times in one period") << QVector<qint64>(40, period / 2) << false;
    QTest::newRow("once in each of two periods") << QVector<qint64> { 0, period + 1 } << true;
    QTest::newRow("a silent period between") << QVector<qint64> { 0, 2 * period + 1 } << false;
}

void CliCommandLineTest::repeatsWithinAPeriodCountOnce()
{
    QFETCH(QVector<qint64>, times);
    QFETCH(bool, heardBefore);
    RecentAddresses recent(1);
    bool before = false;
    for (const qint64 time : times)
        before = recent.heard(QStringLiteral("192.168.1.20"), time);
    QCOMPARE(before, heardBefore);
}

void CliCommandLineTest::ownAnnouncements_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("own");

    QTest::newRow("IPv4") << "127.0.0.1" << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("IPv4-mapped, as a dual-stack socket reports it")
        << "::ffff:127.0.0.1" << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("another module") << "127.0.0.2" << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("another module, mapped")
        << "::ffff:127.0.0.2" << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("IPv6 loopback is not 127.0.0.1")
        << "::1" << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("host without IPv4") << "127.0.0.1" << QString() << false;
    QTest::newRow("LAN address") << "192.168.1.7" << QStringLiteral("192.168.1.7") << true;
}

void CliCommandLineTest::ownAnnouncements()
{
    QFETCH(QString, sender);
    QFETCH(QString, host);
    QFETCH(bool, own);
    QCOMPARE(isOwnAnnouncement(QHostAddress(sender), host), own);
}

void CliCommandLineTest::progressLines_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("phase");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("line");

    const QString label = QStringLiteral("10.0.0.2:8000:8001");
    const QString pad(10, QLatin1Char(' '));
    QTest::newRow("start") << label << int(UploadPhase::Connecting) << 0.0 << 100
                           << label + pad + " connecting [------------------------]   0%";
    QTest::newRow("half") << label << int(UploadPhase::Writing) << 0.5 << 100
                          << label + pad + " writing    [############------------]  50%";
    QTest::newRow("just under") << label << int(UploadPhase::Verifying) << 0.999 << 100
                                << label + pad + " verifying  [#######################-]  99%";
    QTest::newRow("done") << label << int(UploadPhase::Succeeded) << 1.0 << 100
                          << label + pad + " done       [########################] 100%";
    QTest::newRow("beyond one") << label << int(UploadPhase::Writing) << 7.0 << 100
                                << label + pad + " writing    [########################] 100%";
    // Narrower than the line: the bar gives way, then the label; the
    // percentage stays.
    QTest::newRow("narrow terminal")
        << label << int(UploadPhase::Writing) << 0.5 << 30 << label.left(14) + " writing     50%";
    QTest::newRow("60 columns") << label << int(UploadPhase::Writing) << 0.5 << 59
                                << label + pad + " writing    [######------]  50%";
    QTest::newRow("a long name at 60 columns")
        << QString(50, QLatin1Char('x')) << int(UploadPhase::Writing) << 0.5 << 59
        << QString(32, QLatin1Char('x')) + " writing    [####----]  50%";
    QTest::newRow("name with a placeholder") << "%1 %2" << int(UploadPhase::Writing) << 0.25 << 100
                                             << QStringLiteral("%1 %2")
            + QString(23, QLatin1Char(' ')) + " writing    [######------------------]  25%";
}

void CliCommandLineTest::progressLines()
{
    QFETCH(QString, label);
    QFETCH(int, phase);
    QFETCH(double, fraction);
    QFETCH(int, width);
    QFETCH(QString, line);
    QCOMPARE(progressLine(label, UploadPhase(phase), fraction, width), line);
}

void CliCommandLineTest::plainDisplayPrintsQuarters()
{
    CapturedStream out;
    ProgressView view(ProgressView::Mode::Plain, out.file(), kDefaultTerminalColumns);
    view.start({ QStringLiteral("a"), QStringLiteral("b") });
    for (int page = 1; page <= 10; ++page)
        view.update(0, UploadPhase::Writing, page / 10.0);
    view.update(0, UploadPhase::Verifying, 0.3);
    view.update(0, UploadPhase::Verifying, 1.0);
    view.finish(0, true, QStringLiteral("10 bytes"));
    view.update(1, UploadPhase::Writing, 0.1);
    view.finish(1, false, QStringLiteral("no reply"));
    view.redraw();

    QCOMPARE(out.text(),
             QStringLiteral("a: connecting\n"
                            "b: connecting\n"
                            "a: writing 30%\n"
                            "a: writing 50%\n"
                            "a: writing 80%\n"
                            "a: writing 100%\n"
                            "a: verifying 30%\n"
                            "a: verifying 100%\n"
                            "a: done 10 bytes\n"
                            "b: FAILED no reply\n"));
}

void CliCommandLineTest::terminalDisplayDrawsInPlace()
{
    CapturedStream out;
    ProgressView view(ProgressView::Mode::Terminal, out.file(), kDefaultTerminalColumns);
    view.start({ QStringLiteral("a"), QStringLiteral("b") });
    view.redraw(); // nothing changed: nothing drawn
    view.update(1, UploadPhase::Writing, 0.5);
    view.finish(0, false, QStringLiteral("cannot connect to data port 1: ") + QString(60, 'x'));
    view.redraw();

    const QString text = out.text();
    const QStringList draws = text.split(QStringLiteral("\x1b[2A"));
    QCOMPARE(draws.size(), 2);
    QCOMPARE(draws.at(0).count(QStringLiteral("\r\x1b[2K")), 2);
    QVERIFY(draws.at(1).contains(QStringLiteral("[############------------]  50%")));
    // A failed line says why instead of drawing its bar, cut to the width.
    const QString failed = draws.at(1).split(QLatin1Char('\n')).at(0);
    QVERIFY2(failed.contains(QLatin1String("FAILED     cannot connect")), qPrintable(failed));
    QCOMPARE(failed.size(), QStringLiteral("\r\x1b[2K").size() + kDefaultTerminalColumns - 1);
}

QTEST_GUILESS_MAIN(CliCommandLineTest)
#include "tst_clicommandline.moc"
