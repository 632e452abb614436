#include "cli/rename.h"

#include "cli/output.h"
#include "discovery/renameexchange.h"

#include <QHostAddress>

namespace {
QString renamePositionals(const CommandEntry &, Options &options, QStringList arguments)
{
    if (arguments.size() != 3)
        return QStringLiteral("rename needs IP ATPORT NAME");
    const QHostAddress address(arguments.at(0));
    if (address.isNull())
        return QStringLiteral("bad address '%1': an IPv4 or IPv6 address is needed")
            .arg(arguments.at(0));
    const std::optional<quint16> port = parsePort(arguments.at(1));
    if (!port)
        return badPortMessage("AT", arguments.at(1));
    options.renameAddress = address.toString();
    options.renamePort = *port;
    options.newName = arguments.at(2);
    // The window sends an empty name when a Name cell is cleared; from a
    // command line it is a slip (an unset shell variable), and it would leave
    // the module nameless.
    if (options.newName.isEmpty())
        return QStringLiteral("bad name: a name cannot be empty; nothing was sent");
    const QString problem = hostNameProblem(options.newName);
    if (!problem.isEmpty())
        return QStringLiteral("bad name: %1; nothing was sent").arg(problem);
    return QString();
}

int runRename(const Options &options)
{
    const QString target = bracketedAddress(options.renameAddress) + QLatin1Char(':')
        + QString::number(options.renamePort);
    if (!sendHostName(options.renameAddress, options.renamePort, options.newName)) {
        printError(QStringLiteral("cannot connect to the AT port %1 within %2 s; nothing was sent")
                       .arg(target)
                       .arg(kModuleConnectTimeoutMs / kMsecsPerSecond));
        return kExitFailure;
    }
    printLine(QStringLiteral("Sent %1 to %2.")
                  .arg(QString::fromLatin1(hostNameCommand(options.newName)), target));
    return kExitSuccess;
}
} // namespace

const CommandEntry kRenameCommand {
    Command::Rename,
    "rename",
    "give a module a new name",
    QStringLiteral(R"(Usage: rudireze-cli rename IP ATPORT NAME

Sends "AT+HOSTNAME=" and NAME to the module's AT port, as the window does
when a Name cell is edited: one connection (%1 s to connect), the reply waited
for up to %2 s and not judged. Characters outside Latin-1 are sent as "?".
An empty name, a name with a control character, with "AT+" in any letter
case, or longer than %3 characters is refused. The module's later announcements carry the
new name.

)")
        .arg(kModuleConnectTimeoutMs / kMsecsPerSecond)
        .arg(kRenameReplyTimeoutMs / kMsecsPerSecond)
        .arg(kMaxHostNameLength),
    14,
    { verboseRow(), helpRow() },
    QStringLiteral(R"(
Exit status: 0 when the command was sent, 1 when no connection was made,
2 for a usage error or a refused name.
)"),
    renamePositionals,
    nullptr,
    runRename,
};
