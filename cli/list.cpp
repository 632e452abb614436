#include "cli/list.h"

#include "cli/output.h"
#include "cli/targets.h"
#include "discovery/announcementlistener.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>

namespace {
constexpr char kListFailureJson[] = R"({"modules": []})";

// The list's columns are at least as wide as their headings.
const QLatin1String kNameHeading("NAME");
const QLatin1String kAddressHeading("ADDRESS");
const QLatin1String kDataPortHeading("DATA PORT");
const QLatin1String kAtPortHeading("AT PORT");
const QLatin1String kColumnGap("  ");

// A port as a number, as in every module the JSON shows; null for a text
// that is not a port.
QJsonValue portJson(const QString &text)
{
    const std::optional<quint16> port = parsePort(text);
    return port ? QJsonValue(int(*port)) : QJsonValue();
}

QJsonObject moduleJson(const Announcement &module)
{
    return QJsonObject { { QStringLiteral("name"), module.hostName },
                         { QStringLiteral("address"), module.hostIp },
                         { QStringLiteral("dataPort"), portJson(module.dataPort) },
                         { QStringLiteral("atPort"), portJson(module.atPort) } };
}

int runList(const Options &options)
{
    AnnouncementListener listener;
    QString error;
    if (!listener.bind(&error))
        return refuse(options, kListFailureJson, error, kExitFailure);
    const QList<Announcement> heard
        = listener.listen(QDeadlineTimer(static_cast<qint64>(options.seconds * kMsecsPerSecond)));
    hintWhenNothingHeard(heard);

    if (options.json) {
        QJsonArray modules;
        for (const Announcement &module : heard)
            modules.append(moduleJson(module));
        printJson(QJsonObject { { QStringLiteral("modules"), modules } });
        return kExitSuccess;
    }
    if (heard.isEmpty()) {
        printLine(QStringLiteral("No module announced itself within %1 s.")
                      .arg(secondsText(options.seconds)));
        return kExitSuccess;
    }
    int nameWidth = kNameHeading.size();
    int addressWidth = kAddressHeading.size();
    for (const Announcement &module : heard) {
        nameWidth = qMax(nameWidth, printable(module.hostName).size());
        addressWidth = qMax(addressWidth, printable(module.hostIp).size());
    }
    const auto row
        = [&](const QString &name, const QString &address, const QString &data, const QString &at) {
              printLine(printable(name).leftJustified(nameWidth) + kColumnGap
                        + printable(address).leftJustified(addressWidth) + kColumnGap
                        + printable(data).leftJustified(kDataPortHeading.size()) + kColumnGap + at);
          };
    row(kNameHeading, kAddressHeading, kDataPortHeading, kAtPortHeading);
    for (const Announcement &module : heard)
        row(module.hostName, module.hostIp, module.dataPort, module.atPort);
    printLine(QStringLiteral("%1 module%2 heard in %3 s.")
                  .arg(heard.size())
                  .arg(heard.size() == 1 ? QString() : QStringLiteral("s"))
                  .arg(secondsText(options.seconds)));
    return kExitSuccess;
}
} // namespace

const CommandEntry kListCommand {
    Command::List,
    "list",
    "print the modules announcing themselves",
    QStringLiteral(R"(Usage: rudireze-cli list [--seconds N] [--json]

Listens for module announcements on UDP port %1 for N seconds (default %2)
and prints every module heard: name, address, data port and AT port. This
host's own announcements are left out, as the window leaves them out. A
module that announces itself again with other values shows its latest ones.

)")
        .arg(kAnnouncementPort)
        .arg(listenSecondsText()),
    14,
    { { &kSecondsOption,
        QStringLiteral("how long to listen (decimals allowed, at most %1)")
            .arg(kMaxListenSeconds) },
      { &kJsonOption,
        QStringLiteral("print {\"modules\": [MODULE...]}, each MODULE as in\n"
                       "\"rudireze-cli --help\"") },
      verboseRow(),
      helpRow() },
    QStringLiteral(R"(
When no module at all was heard, a hint on standard error names the usual
causes: another network, announcements sent to another host, a firewall.

Exit status: 0 when the listening ran (also when no module was heard),
1 when UDP port %1 cannot be bound, )")
            .arg(kAnnouncementPort)
        + QLatin1String(kExitUsageHelp),
    noPositionals,
    kListFailureJson,
    runList,
};
