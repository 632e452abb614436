#include "cli/commands.h"

#include "cli/arduinoplatform.h"
#include "cli/convert.h"
#include "cli/discovery.h"
#include "cli/list.h"
#include "cli/locate.h"
#include "cli/monitor.h"
#include "cli/monitortool.h"
#include "cli/output.h"
#include "cli/proxy.h"
#include "cli/read.h"
#include "cli/rename.h"
#include "cli/station.h"
#include "cli/upload.h"

namespace {
// The options' lines of a command's help: each syntax in its column, the
// help's further lines under its first.
QString optionLines(const CommandEntry &command)
{
    const QString indent = QStringLiteral("\n") + QString(2 + command.column, QLatin1Char(' '));
    QString text;
    for (const OptionRow &row : command.options) {
        if (row.help.isEmpty())
            continue;
        if (!row.option)
            text += row.help + QLatin1Char('\n');
        else
            text += QStringLiteral("  ")
                + QString::fromLatin1(row.option->syntax).leftJustified(command.column)
                + QString(row.help).replace(QLatin1Char('\n'), indent) + QLatin1Char('\n');
    }
    return text;
}

// Wide enough for "install-platform" and the two blanks after it.
constexpr int kCommandColumn = 18;

QString overview()
{
    QString commands;
    for (const CommandEntry *entry : commandEntries())
        commands += QStringLiteral("  ")
            + QString::fromLatin1(entry->name).leftJustified(kCommandColumn)
            + QLatin1String(entry->summary) + QLatin1Char('\n');
    return QStringLiteral(R"(Usage: rudireze-cli COMMAND [OPTIONS]

Writes firmware into AVR boards behind Wi-Fi serial bridge modules, with the
window's own engine, from a terminal or a script.

Commands:
)") + commands
        + QStringLiteral(R"(
"rudireze-cli COMMAND --help" describes a command; "rudireze-cli --version"
prints the version. The engine's diagnostics reach standard error only with
--verbose.

With --json, a module is shown the same way by every command:
  {"name": TEXT, "address": TEXT, "dataPort": NUMBER, "atPort": NUMBER}
(a port the module announced that is not a port number is null); upload and
read add their result's keys to it. A failure gives a JSON object too, with
its message as "error".

Exit status: 0 success, 1 failure, 2 usage error.

Free software under the GNU General Public License, version 3 or later
(GPL-3.0-or-later); it comes with no warranty.
)");
}
} // namespace

const QVector<const CommandEntry *> &commandEntries()
{
    static const QVector<const CommandEntry *> entries {
        &kListCommand,  &kConvertCommand,   &kLocateCommand,      &kUploadCommand,
        &kReadCommand,  &kStationCommand,   &kRenameCommand,      &kMonitorCommand,
        &kProxyCommand, &kDiscoveryCommand, &kMonitorToolCommand, &kInstallPlatformCommand,
    };
    return entries;
}

const CommandEntry *commandEntry(Command command)
{
    for (const CommandEntry *entry : commandEntries()) {
        if (entry->command == command)
            return entry;
    }
    return nullptr;
}

int runCommand(const Options &options)
{
    if (options.version) {
        printText(stdout, versionText());
        return kExitSuccess;
    }
    const CommandEntry *entry = commandEntry(options.command);
    if (options.help || !entry) {
        printText(stdout, usageText(options.command));
        return kExitSuccess;
    }
    return entry->run(options);
}

QString versionText()
{
    return QStringLiteral("rudireze-cli %1\n").arg(QLatin1String(RUDIREZE_VERSION));
}

QString commandName(Command command)
{
    const CommandEntry *entry = commandEntry(command);
    return entry ? QString::fromLatin1(entry->name) : QString();
}

QString usageText(Command command)
{
    if (const CommandEntry *entry = commandEntry(command))
        return entry->head + optionLines(*entry) + entry->tail;
    return overview();
}
