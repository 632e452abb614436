#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "upload/uploadlog.h"

#include <QCoreApplication>
#include <QStringList>

namespace {
bool verbose = false;

// The engine writes its protocol trace, its complaints and the system's
// errors to its own category, and Qt its warnings; only --verbose wants them:
// every failure reaches the user as the command's own message. A message may
// quote what a module sent, so each of its lines is escaped like every other
// message.
void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool engine = qstrcmp(context.category, lcUpload().categoryName()) == 0;
    if (!verbose && (engine || type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg))
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
    lcUpload(); // built before the handler can be asked about it
    qInstallMessageHandler(filterMessages);

    const ParsedCommandLine parsed = parseCommandLine(application.arguments().mid(1));
    if (!parsed.ok()) {
        printError(parsed.error);
        const QString command = commandName(parsed.options.command);
        if (parsed.options.json) {
            const CommandEntry *entry = commandEntry(parsed.options.command);
            printFailureJson(entry ? entry->failureJson : nullptr, parsed.error);
        }
        printText(stderr,
                  QStringLiteral("Try \"rudireze-cli %1--help\".\n")
                      .arg(command.isEmpty() ? QString() : command + QLatin1Char(' ')));
        return kExitUsage;
    }
    verbose = parsed.options.verbose;
    return runCommand(parsed.options);
}
