#include "cli/locate.h"

#include "cli/output.h"
#include "firmware/defaultfirmware.h"
#include "platform/username.h"

#include <QJsonObject>

namespace {
int runLocate(const Options &options)
{
    FirmwareChoice choice;
    // The window's run, without its ./log.txt.
    locateDefaultFirmware(choice, loginUserName(), QString());
    if (options.json) {
        printJson(
            QJsonObject { { QStringLiteral("path"), orNull(choice.path) },
                          { QStringLiteral("time"),
                            choice.path.isEmpty() ? QJsonValue() : orNull(choice.generateTime) } });
    } else if (choice.path.isEmpty()) {
        printLine(QStringLiteral("No default firmware file found: no Arduino-style build left a "
                                 ".ino.hex or .cpp.hex in the temporary directory."));
    } else {
        printLine(choice.path);
        printLine(QStringLiteral("Generate time: ") + choice.generateTime);
    }
    return choice.path.isEmpty() ? kExitFailure : kExitSuccess;
}
} // namespace

const CommandEntry kLocateCommand {
    Command::Locate,
    "locate",
    "print the default firmware file the window would take",
    QStringLiteral(R"(Usage: rudireze-cli locate [--json]

Prints the default firmware file the window would take right now: the newest
sketch image (.ino.hex or .cpp.hex) an Arduino-style build left in the
temporary directory, with its full path and the time text the window shows.
Unlike the window, it appends nothing to ./log.txt.

)"),
    14,
    { { &kJsonOption,
        QStringLiteral("print {\"path\": ..., \"time\": ...} (both null when none)") },
      verboseRow(),
      helpRow() },
    QStringLiteral("\nExit status: 0 when a file was found, 1 when none was, ")
        + QLatin1String(kExitUsageHelp),
    noPositionals,
    R"({"path": null, "time": null})",
    runLocate,
};
