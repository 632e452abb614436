#pragma once

// A command of rudireze-cli as data: its name, the options it takes, how its
// other arguments are read, its help and what runs it. Each command's file
// holds its own; the parser (commandline) and the dispatch (commands) read
// them.

#include "cli/options.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Takes an option's value into the options: the error, or empty when taken.
using OptionSetter = QString (*)(Options &options, const QString &value);
struct CommandEntry;
// Takes the arguments of `command` that are not options: the error, or empty.
using PositionalReader
    = QString (*)(const CommandEntry &command, Options &options, QStringList arguments);

// An option as the help spells it, and where its value goes.
struct Option
{
    // "-o, --output FILE", "--json"; one that does not start with "-"
    // (TARGET) names an argument in the help and is no option.
    const char *syntax;
    OptionSetter set;

    bool isOption() const;
    bool takesValue() const;
    // Without "--" and "-"; the short one is empty when there is none.
    QString longName() const;
    QString shortName() const;
};

// One line of a command's help, and the option it describes.
struct OptionRow
{
    // nullptr: `help` is a line of its own and shown as it stands.
    const Option *option;
    // After the syntax column, its further lines under its first; empty:
    // taken but not shown.
    QString help;
};

struct CommandEntry
{
    Command command;
    const char *name;
    // Its line in the overview ("rudireze-cli --help").
    const char *summary;
    // The help: `head`, the options' lines, `tail`.
    QString head;
    int column; // width of the options' syntax column
    QVector<OptionRow> options;
    QString tail;
    PositionalReader positionals;
    // With --json, a failure before any result still prints this object
    // (the command's own keys, empty) with "error" added; nullptr: {}.
    const char *failureJson;
    // The process's exit status.
    int (*run)(const Options &options);
};

// Options that several commands take, each defined once.
extern const Option kHelpOption;
extern const Option kVerboseOption;
extern const Option kJsonOption;
extern const Option kSecondsOption;
extern const Option kBoardOption;
extern const Option kNameOption;
extern const Option kAllOption;
extern const Option kAllMatchingOption;
extern const Option kTimeoutOption;
extern const Option kVerifyOption;
// TARGET in the help.
extern const Option kTargetArgument;

// "-h, --help  show this text", in every command's help.
OptionRow helpRow();
// --verbose, taken by every command and shown where the engine's
// diagnostics matter.
OptionRow verboseRow();
OptionRow shownVerboseRow();

// Each option's value into its field.
template<bool Options::*field> QString setFlag(Options &options, const QString &)
{
    options.*field = true;
    return QString();
}
QString setName(Options &options, const QString &value);
// A path that may not be empty.
QString takePath(QString *field, const QString &value, const char *option);
// Seconds above 0 and at most `limit`; `problem` tells what a bad value
// should have been (%1 the value, %2 the limit).
QString takeSeconds(double *field, const QString &value, double limit, const char *problem);
// A whole number from 1 to `limit`.
QString takeCount(int *field, const QString &value, int limit, const char *problem);

// For a command that takes no arguments.
QString noPositionals(const CommandEntry &command, Options &options, QStringList arguments);
// "list takes no arguments, not 'x'"
QString tooMany(const CommandEntry &command, const QStringList &arguments, int allowed);

// The boards, as the usage and the errors name them: "UNO, MEGA2560, ...".
QString boardList();
// The default listening, in the help's words: "3".
QString listenSecondsText();
// The application area of the named board, in bytes, as the help writes it.
QString applicationSizeText(const char *board);
// The end of most commands' exit status.
constexpr char kExitUsageHelp[] = "2 for a usage error.\n";
