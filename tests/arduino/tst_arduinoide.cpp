// Debian's Arduino IDE 1.8 as a user runs it, where it is installed (skipped
// otherwise): its own discovery client lists the modules through
// rudireze-cli discovery, and its headless upload, with the platform that
// install-platform wrote, flashes simulated boards running their real
// bootloaders with the IDE's own build.
#include "firmware/hexconversion.h"
#include "moduleprocess.h"
#include "modulethread.h"
#include "realboards.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace RealBoards;

namespace {
const QString kArduinoLib = QStringLiteral("/usr/share/arduino/lib");
// Compiling and uploading take 5 to 15 s; bounded well above.
constexpr int kIdeTimeoutMs = 180000;
constexpr int kJavaTimeoutMs = 60000;
// A module is heard within a second and gone 6 to 8 s after it fell silent.
constexpr int kPortsTimeoutMs = 20000;
constexpr char kClientSeconds[] = "40";
const QByteArray kSketchLine = QByteArrayLiteral("ide sketch ok");
// A Blink that says so, as a user writes it.
const QByteArray kSketch
    = QByteArrayLiteral(R"(void setup() { Serial.begin(115200); pinMode(LED_BUILTIN, OUTPUT); }
void loop() {
  Serial.println("ide sketch ok");
  digitalWrite(LED_BUILTIN, !digitalRead(LED_BUILTIN));
  delay(1000);
})");

// A program run to its end (killed at the limit): its exit status (-1 when
// it did not end by itself) and everything it printed.
struct Run
{
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString &program, const QStringList &arguments, int limitMs,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended
        = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, limitMs);
    if (!ended) {
        process.kill();
        process.waitForFinished(limitMs);
    }
    return { ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
             process.readAll() };
}
} // namespace

class ArduinoIdeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ideDiscoveryListsTheModules();
    void uploadFromTheIde_data();
    void uploadFromTheIde();

private:
    QProcessEnvironment ideEnvironment() const;

    QString arduino;
    QTemporaryDir home;
    QString sketch;
};

void ArduinoIdeTest::initTestCase()
{
    arduino = QStandardPaths::findExecutable(QStringLiteral("arduino"));
    if (arduino.isEmpty() || !QFileInfo::exists(kArduinoLib + QStringLiteral("/arduino-core.jar"))
        || QStandardPaths::findExecutable(QStringLiteral("javac")).isEmpty())
        QSKIP("Debian's arduino package (and a JDK) is not installed");
    QVERIFY(home.isValid());
    // The platform as a user installs it: rudireze-cli names itself in it.
    const Run installed
        = run(RUDIREZE_CLI_EXE, { "install-platform", "--sketchbook", home.filePath("Arduino") },
              kJavaTimeoutMs);
    QVERIFY2(installed.exitCode == 0, installed.output.constData());
    sketch = home.filePath(QStringLiteral("Arduino/Blinks/Blinks.ino"));
    QVERIFY(QDir().mkpath(QFileInfo(sketch).path()));
    QFile file(sketch);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kSketch) == kSketch.size());
}

QProcessEnvironment ArduinoIdeTest::ideEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // No display, and nothing written into the real home's .arduino15.
    environment.insert(QStringLiteral("JAVA_TOOL_OPTIONS"),
                       QStringLiteral("-Djava.awt.headless=true -Duser.home=") + home.path());
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    return environment;
}

void ArduinoIdeTest::ideDiscoveryListsTheModules()
{
    const Run compiled = run(
        "javac",
        { "-cp", kArduinoLib + "/*", "-d", home.path(), ARDUINO_TESTS_DIR "/DiscoveryClient.java" },
        kJavaTimeoutMs);
    QVERIFY2(compiled.exitCode == 0, compiled.output.constData());

    ModuleProcess modules;
    QVERIFY2(
        modules.start({ "--board", "uno", "--address", "127.0.0.60", "--name", "bench-one", "--and",
                        "--board", "mega", "--name", "bench-two", "--stop-announcing-after", "3" }),
        qPrintable(modules.output.join('\n')));
    QStringList ports;
    for (const ModuleProcess::Module &module : modules.modules) {
        ports << QStringLiteral("%1|%2 (%3)|rudireze|Wi-Fi modules|%2")
                     .arg(targetOf(module), module.name, module.address.toString());
    }

    QProcess client;
    client.start(QStringLiteral("java"),
                 { QStringLiteral("-cp"),
                   kArduinoLib + QStringLiteral("/*") + QDir::listSeparator() + home.path(),
                   QStringLiteral("DiscoveryClient"), QLatin1String(kClientSeconds),
                   QStringLiteral(RUDIREZE_CLI_EXE), QStringLiteral("discovery") });
    QString last;
    const auto sawPorts = [&](const QStringList &expected) {
        return QTest::qWaitFor(
            [&] {
                while (client.canReadLine()) {
                    last = QString::fromUtf8(client.readLine()).trimmed();
                    QStringList listed;
                    for (const QString &listedPort : last.mid(int(qstrlen("ports:"))).split(';'))
                        if (!listedPort.trimmed().isEmpty())
                            listed << listedPort.trimmed();
                    listed.sort();
                    if (listed == expected)
                        return true;
                }
                return false;
            },
            kPortsTimeoutMs);
    };
    ports.sort();
    QVERIFY2(sawPorts(ports), qPrintable(last));
    // bench-two fell silent: removed, bench-one stays.
    ports.removeLast();
    QVERIFY2(sawPorts(ports), qPrintable(last));
    client.kill();
    client.waitForFinished(kJavaTimeoutMs);
}

void ArduinoIdeTest::uploadFromTheIde_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("kind"); // -1: no module at the port
    QTest::newRow("UNO, optiboot") << "rudireze:avr:uno" << int(BoardKind::Uno);
    QTest::newRow("MEGA 2560, stk500v2") << "rudireze:avr:mega2560" << int(BoardKind::Mega);
    QTest::newRow("unreachable module") << "rudireze:avr:uno" << -1;
}

void ArduinoIdeTest::uploadFromTheIde()
{
    QFETCH(QString, board);
    QFETCH(int, kind);
    const QString why = missing();
    if (kind >= 0 && !why.isEmpty())
        QSKIP(qPrintable(why));

    ModuleThread modules;
    QString port = QStringLiteral("127.0.0.1:1:1");
    if (kind >= 0) {
        QString error;
        QVERIFY2(
            modules.start(1, simulatedModules(BoardKind(kind), QHostAddress("127.0.0.62")), &error),
            qPrintable(error));
        port = QStringLiteral("127.0.0.62:%1:%2").arg(modules.dataPort(0)).arg(modules.atPort(0));
    }
    // Where IDE 1.8 builds by itself, so the locator finds it there too.
    const QString build = home.filePath(QStringLiteral("arduino_build_%1").arg(kind + 2));
    // A sketch of a few kilobytes: the boards run in real time throughout.
    const Run upload
        = run(arduino,
              { "--preferences-file", home.filePath("prefs.txt"), "--pref",
                "sketchbook.path=" + home.filePath("Arduino"), "--pref", "build.path=" + build,
                "--board", board, "--port", port, "--upload", sketch },
              kIdeTimeoutMs, ideEnvironment());
    // The console shows plain lines.
    QVERIFY2(!upload.output.contains('\x1b') && !upload.output.contains('\r'),
             upload.output.constData());
    if (kind < 0) {
        // The IDE exits on the failure while it may still be copying the
        // tool's last lines: only its own verdict is sure to show.
        QVERIFY2(upload.exitCode != 0
                     && upload.output.contains("An error occurred while uploading"),
                 upload.output.constData());
        return;
    }
    QVERIFY2(upload.exitCode == 0 && upload.output.contains("1 of 1 target succeeded"),
             upload.output.constData());

    const QString hex = build + QStringLiteral("/Blinks.ino.hex");
    QByteArray image;
    QVERIFY(convertHexFile(hex, &image).ok());
    const QString problem = flashProblem(modules.flash(0), image, BoardKind(kind));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const Run monitored
        = run(RUDIREZE_CLI_EXE,
              { "monitor", port, "--until", QString::fromLatin1(kSketchLine), "--seconds",
                QString::number(RealBoards::kSketchLineTimeoutMs / 1000) },
              kJavaTimeoutMs);
    QVERIFY2(monitored.exitCode == 0, monitored.output.constData());

    const Run located
        = run(RUDIREZE_CLI_EXE, { "locate", "--json" }, kJavaTimeoutMs, ideEnvironment());
    QCOMPARE(QJsonDocument::fromJson(located.output).object().value("path").toString(),
             QDir::toNativeSeparators(hex));
}

QTEST_GUILESS_MAIN(ArduinoIdeTest)
#include "tst_arduinoide.moc"
