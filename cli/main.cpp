#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/output.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {
bool verbose = false;

// The engine writes its protocol trace to the debug log; only --verbose
// wants it. A message may quote what a module sent, so each of its lines is
// escaped like every other message.
void filterMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !verbose)
        return;
    QStringList lines = message.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = printable(line);
    printText(stderr, lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(filterMessages);

    const ParsedCommandLine parsed = parseCommandLine(application.arguments().mid(1));
    if (!parsed.ok()) {
        printError(parsed.error);
        const QString command = commandName(parsed.options.command);
        printText(stderr,
                  QStringLiteral("Try \"rudireze-cli %1--help\".\n")
                      .arg(command.isEmpty() ? QString() : command + QLatin1Char(' ')));
        return kExitUsage;
    }
    verbose = parsed.options.verbose;
    return runCommand(parsed.options);
}
