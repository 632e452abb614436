#include "cli/commandline.h"

#include "cli/commandentry.h"
#include "cli/commands.h"

namespace {
Command commandNamed(const QString &name)
{
    for (const CommandEntry *entry : commandEntries()) {
        if (name == QLatin1String(entry->name))
            return entry->command;
    }
    return Command::None;
}

const Option *findOption(const CommandEntry &command, const QString &name, bool isShort)
{
    for (const OptionRow &row : command.options) {
        if (row.option && row.option->isOption()
            && name == (isShort ? row.option->shortName() : row.option->longName())) {
            // Every option the parser takes is stored.
            Q_ASSERT(row.option->set);
            return row.option;
        }
    }
    return nullptr;
}

class Parser
{
public:
    explicit Parser(const QStringList &arguments)
        : arguments(arguments)
    {
    }
    ParsedCommandLine parse();

private:
    bool takeOption(const CommandEntry &command, const QString &argument, int *index);
    bool apply(const Option &option, const QString &value)
    {
        return fail(option.set(result.options, value));
    }
    // False with the first error kept; true for no error.
    bool fail(const QString &message)
    {
        if (message.isEmpty())
            return true;
        if (result.error.isEmpty())
            result.error = message;
        return false;
    }

    const QStringList &arguments;
    ParsedCommandLine result;
};

ParsedCommandLine Parser::parse()
{
    Options &options = result.options;
    if (arguments.isEmpty()) {
        fail(QStringLiteral("no command given"));
        return result;
    }
    const QString first = arguments.first();
    if (first == QLatin1String("--version")) {
        options.version = true;
        if (arguments.size() > 1)
            fail(QStringLiteral("--version takes nothing after it"));
        return result;
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h")
        || first == QLatin1String("help")) {
        options.help = true;
        if (arguments.size() > 1) {
            options.command = commandNamed(arguments.at(1));
            if (options.command == Command::None)
                fail(QStringLiteral("unknown command '%1'").arg(arguments.at(1)));
        }
        return result;
    }
    options.command = commandNamed(first);
    const CommandEntry *command = commandEntry(options.command);
    if (!command) {
        fail(first.startsWith(QLatin1Char('-'))
                 ? QStringLiteral("a command comes first, not the option '%1'").arg(first)
                 : QStringLiteral("unknown command '%1'").arg(first));
        return result;
    }

    QStringList positionals;
    bool optionsEnded = false;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString &argument = arguments.at(index);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (!takeOption(*command, argument, &index))
                return result;
        } else {
            positionals << argument;
        }
    }
    if (!options.help)
        fail(command->positionals(*command, options, positionals));
    return result;
}

bool Parser::takeOption(const CommandEntry &command, const QString &argument, int *index)
{
    if (!argument.startsWith(QLatin1String("--"))) {
        // A short option stands alone: "-h", "-o FILE".
        const Option *option
            = argument.size() == 2 ? findOption(command, argument.mid(1), true) : nullptr;
        if (!option)
            return fail(QStringLiteral("unknown option '%1' for %2")
                            .arg(argument, QLatin1String(command.name)));
        if (!option->takesValue())
            return apply(*option, QString());
        // -o, the one short option with a value, takes a file.
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("%1 needs a file name").arg(argument));
        return apply(*option, arguments.at(++*index));
    }

    QString name = argument.mid(2);
    QString value;
    bool valueGiven = false;
    const int equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0) {
        value = name.mid(equals + 1);
        name = name.left(equals);
        valueGiven = true;
    }
    const Option *option = findOption(command, name, false);
    if (!option)
        return fail(
            QStringLiteral("unknown option '--%1' for %2").arg(name, QLatin1String(command.name)));
    if (option->takesValue() && !valueGiven) {
        if (*index + 1 >= arguments.size())
            return fail(QStringLiteral("--%1 needs a value").arg(name));
        value = arguments.at(++*index);
    } else if (!option->takesValue() && valueGiven) {
        return fail(QStringLiteral("--%1 takes no value").arg(name));
    }
    return apply(*option, value);
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    return Parser(arguments).parse();
}
