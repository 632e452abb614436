#include "cli/arduinoplatform.h"

#include "cli/output.h"
#include "platform/sketchbook.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {
const char *const kPlatformFiles[] = { "boards.txt", "platform.txt" };

// The file replaced in one step: an IDE starting meanwhile reads the old one
// or the new one, never half of one.
QString writeFile(const QString &path, const QByteArray &contents)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return QString();
}
} // namespace

QString platformFolder(const QString &sketchbook)
{
    return QDir(sketchbook).filePath(QStringLiteral("hardware/rudireze/avr"));
}

QByteArray platformLocalText(const QString &program)
{
    // The IDE reads these files as UTF-8 and takes every character of a
    // value as it stands; the quotes keep a path with blanks one argument.
    const QByteArray path = program.toUtf8();
    return "# Written by rudireze-cli install-platform: the rudireze-cli that installed\n"
           "# this platform, by its full path.\n"
           "discovery.rudireze.pattern=\""
        + path
        + "\" discovery\n"
          "pluggable_discovery.rudireze.pattern=\""
        + path
        + "\" discovery\n"
          "pluggable_monitor.pattern.rudireze=\""
        + path
        + "\" monitor-tool\n"
          "tools.rudireze.cmd="
        + path + "\n";
}

int runInstallPlatform(const Options &options)
{
    Q_INIT_RESOURCE(arduinoplatform);
    const QString sketchbook
        = options.sketchbook.isEmpty() ? defaultSketchbook() : options.sketchbook;
    const QString folder = platformFolder(sketchbook);
    if (!QDir().mkpath(folder)) {
        printError(QStringLiteral("cannot make the folder %1; nothing was installed").arg(folder));
        return kExitFailure;
    }
    const QString program = QCoreApplication::applicationFilePath();
    for (const char *name : kPlatformFiles) {
        QFile source(QStringLiteral(":/arduino/") + QLatin1String(name));
        if (!source.open(QIODevice::ReadOnly)) {
            printError(QStringLiteral("the platform file %1 is missing from this program")
                           .arg(QLatin1String(name)));
            return kExitFailure;
        }
        const QString error
            = writeFile(QDir(folder).filePath(QLatin1String(name)), source.readAll());
        if (!error.isEmpty()) {
            printError(error);
            return kExitFailure;
        }
    }
    const QString error = writeFile(QDir(folder).filePath(QStringLiteral("platform.local.txt")),
                                    platformLocalText(program));
    if (!error.isEmpty()) {
        printError(error);
        return kExitFailure;
    }
    printLine(QStringLiteral("Installed the Arduino platform in %1 (for the IDE, rudireze-cli is "
                             "%2).")
                  .arg(QDir::toNativeSeparators(folder), QDir::toNativeSeparators(program)));
    printLine(QStringLiteral("Restart the Arduino IDE, then choose the board under Tools > Board "
                             "> Rudireze Wi-Fi modules and the module under Tools > Port."));
    return kExitSuccess;
}

namespace {
QString setSketchbook(Options &options, const QString &value)
{
    return takePath(&options.sketchbook, value, "sketchbook");
}

const Option kSketchbookOption { "--sketchbook DIR", setSketchbook };
} // namespace

const CommandEntry kInstallPlatformCommand {
    Command::InstallPlatform,
    "install-platform",
    "put the Arduino IDE platform into the sketchbook",
    QStringLiteral(R"text(Usage: rudireze-cli install-platform [--sketchbook DIR]

Installs the Arduino IDE platform for the modules (boards "Arduino Uno over
Wi-Fi (Rudireze)" and "Arduino Mega 2560 over Wi-Fi (Rudireze)") into the
sketchbook's hardware folder: DIR/hardware/rudireze/avr. Its
platform.local.txt names this program by its full path, so the IDE runs this
rudireze-cli to list the modules and to upload. Files already there are
replaced. The core and the compiler are those of Arduino AVR Boards, which
the IDE must have.

)text"),
    18,
    { { &kSketchbookOption,
        QStringLiteral("the IDE's sketchbook folder (default ~/Arduino, on Windows\n"
                       "Documents\\Arduino)") },
      verboseRow(),
      helpRow() },
    QStringLiteral(R"(
Exit status: 0 when the platform was written, 1 when it could not be,
)") + QLatin1String(kExitUsageHelp),
    noPositionals,
    nullptr,
    runInstallPlatform,
};
