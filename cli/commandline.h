#pragma once

#include "cli/options.h"

#include <QString>
#include <QStringList>

// The options, or the reason the arguments (without the program name) cannot
// be acted on.
struct ParsedCommandLine
{
    Options options;
    QString error;

    bool ok() const { return error.isEmpty(); }
};

ParsedCommandLine parseCommandLine(const QStringList &arguments);

// The help text of a command; Command::None gives the overview.
QString usageText(Command command);
QString commandName(Command command);
// "rudireze-cli" and the version, as --version prints it.
QString versionText();
