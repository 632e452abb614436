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
        failure.board = options.board;
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
        missing.board = options.board;
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
    printText(standardError(),
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
