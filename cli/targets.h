#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"
#include "cli/uploadsession.h"
#include "discovery/announcement.h"

#include <QList>
#include <QStringList>
#include <QVector>

#include <optional>

// Targets taken from module announcements.

// The target a module announces, its name with it; std::nullopt with the
// reason when its address or ports cannot be connected to.
std::optional<Target> announcedTarget(const Announcement &module, QString *error);

// --all takes every module, --name those with one of the names. A module
// that announces ports no connection can use fails as a target of its own,
// and so does a name nobody announced.
struct AnnouncedTargets
{
    QVector<Target> targets;
    QVector<TargetResult> failures;
};
AnnouncedTargets targetsFromAnnouncements(const Options &options, const QList<Announcement> &heard);

// When listening heard no module at all, says on standard error where the
// announcements are most often lost: a module on another network, one that
// announces to another host, or a firewall that drops inbound UDP.
void hintWhenNothingHeard(const QList<Announcement> &heard);

// The one target of monitor and proxy: given, or the module announcing
// --name; the failure printed and std::nullopt when there is none.
std::optional<Target> resolveSingleTarget(const Options &options);
// Reads that target from the arguments: the error, or empty.
QString singleTargetPositionals(const CommandEntry &command, Options &options,
                                QStringList arguments);
// Their help for --name and --seconds.
QString namedModuleHelp();
QString secondsEndHelp();
