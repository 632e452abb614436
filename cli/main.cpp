#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/output.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
bool verbose = false;

// The engine writes its protocol trace to the debug log; only --verbose
// wants it.
void filterMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !verbose)
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
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
