#pragma once

#include "moduleoptions.h"

#include <QList>
#include <QString>
#include <QStringList>

// One "--and"-separated part of the command line: modules set up alike.
struct ModuleGroupSetup
{
    ModuleOptions options;
    int count = 1;
    QString flashIn; // file the flash starts with
    QString flashOut; // where the flash is written; %a: address, %n: module number
};

struct VirtualModuleCommandLine
{
    QList<ModuleGroupSetup> groups;
    int exitAfterMs = 0; // 0: run until SIGINT or SIGTERM
    QString logPath;
    bool quiet = false;
    bool help = false;
};

// Reads the arguments (without the program name). On an error returns false
// with a message naming the offending argument.
bool parseVirtualModuleCommandLine(const QStringList &arguments, VirtualModuleCommandLine *out,
                                   QString *error);
QString virtualModuleUsage();
// The flash file of a module: the pattern with %a and %n filled in.
QString flashOutPath(const QString &pattern, const QHostAddress &address, int number);
