#include "cli/targets.h"

#include "cli/output.h"
#include "discovery/announcementlistener.h"
#include "platform/terminal.h"

#include <algorithm>

std::optional<Target> announcedTarget(const Announcement &module, QString *error)
{
    std::optional<Target> target = parseTarget(module.hostIp + QLatin1Char(':') + module.dataPort
                                                   + QLatin1Char(':') + module.atPort,
                                               error);
    if (target)
        target->name = module.hostName;
    return target;
}

AnnouncedTargets targetsFromAnnouncements(const Options &options, const QList<Announcement> &heard)
{
    AnnouncedTargets found;
    for (const Announcement &module : heard) {
        if (!options.all && !options.names.contains(module.hostName))
            continue;
        QString error;
        if (const std::optional<Target> target = announcedTarget(module, &error)) {
            found.targets << *target;
            continue;
        }
        TargetResult failure;
        failure.target.name = module.hostName;
        failure.board = options.boardName();
        failure.status = TargetStatus::Failed;
        failure.error = QStringLiteral("module %1 announces what cannot be connected to: %2")
                            .arg(module.hostName, error);
        found.failures << failure;
    }
    for (const QString &name : options.names) {
        const bool seen = std::any_of(heard.begin(), heard.end(),
                                      [&](const Announcement &m) { return m.hostName == name; });
        if (seen)
            continue;
        TargetResult missing;
        missing.target.name = name;
        missing.board = options.boardName();
        missing.status = TargetStatus::NotFound;
        missing.error = QStringLiteral("no module named %1 announced itself within %2 s")
                            .arg(name, secondsText(options.seconds));
        found.failures << missing;
    }
    return found;
}

void hintWhenNothingHeard(const QList<Announcement> &heard)
{
    if (!heard.isEmpty())
        return;
    printText(stderr,
              wrapText(QStringLiteral("rudireze-cli: hint: no module was heard at all. Check that "
                                      "the modules have joined this network and announce to this "
                                      "host's address, and that no firewall drops inbound UDP to "
                                      "port %1.")
                           .arg(kAnnouncementPort),
                       kDefaultTerminalColumns));
}

std::optional<Target> resolveSingleTarget(const Options &options)
{
    if (!options.targets.isEmpty())
        return options.targets.first();
    AnnouncementListener listener;
    QString error;
    if (!listener.bind(&error)) {
        printError(error);
        return std::nullopt;
    }
    // --seconds bounds the monitoring, not this.
    Options lookup = options;
    lookup.seconds = kDefaultListenSeconds;
    const QString name = options.names.value(0);
    const auto named = [&name](const Announcement &m) { return m.hostName == name; };
    const QList<Announcement> heard
        = listener.listen(QDeadlineTimer(static_cast<qint64>(lookup.seconds * kMsecsPerSecond)),
                          [&named](const QList<Announcement> &modules) {
                              return std::any_of(modules.begin(), modules.end(), named);
                          });
    hintWhenNothingHeard(heard);
    // The first module with the name decides.
    QList<Announcement> first;
    const auto module = std::find_if(heard.begin(), heard.end(), named);
    if (module != heard.end())
        first << *module;
    const AnnouncedTargets found = targetsFromAnnouncements(lookup, first);
    if (!found.failures.isEmpty()) {
        printError(found.failures.first().error);
        return std::nullopt;
    }
    return found.targets.first();
}

QString singleTargetPositionals(const CommandEntry &command, Options &options,
                                QStringList arguments)
{
    const bool proxy = options.command == Command::Proxy;
    if (proxy && !options.board)
        return QStringLiteral("proxy needs --board (%1)").arg(boardList());
    if (arguments.size() + options.names.size() != 1)
        return QStringLiteral("%1 takes exactly one target: %2 or --name NAME")
            .arg(QLatin1String(command.name),
                 proxy ? QStringLiteral("IP:DATAPORT:ATPORT")
                       : QStringLiteral("IP:DATAPORT[:ATPORT]"));
    if (arguments.isEmpty())
        return QString();
    QString error;
    const std::optional<Target> target = proxy ? parseTarget(arguments.first(), &error)
                                               : parseMonitorTarget(arguments.first(), &error);
    if (!target)
        return error;
    options.targets << *target;
    return QString();
}

QString namedModuleHelp()
{
    return QStringLiteral("the module announcing this name (heard within %1 s)")
        .arg(listenSecondsText());
}

QString secondsEndHelp()
{
    return QStringLiteral("end after N seconds (decimals allowed, at most %1)")
        .arg(kMaxListenSeconds);
}
