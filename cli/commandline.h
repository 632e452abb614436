#pragma once

#include "cli/commands.h"
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
