#include "cli/commandentry.h"

#include "upload/boards.h"

namespace {
QString setSeconds(Options &options, const QString &value)
{
    const QString error
        = takeSeconds(&options.seconds, value, kMaxListenSeconds,
                      "bad --seconds '%1': a number of seconds above 0 and at most %2");
    options.secondsGiven = options.secondsGiven || error.isEmpty();
    return error;
}

QString setTimeout(Options &options, const QString &value)
{
    return takeSeconds(&options.timeoutSeconds, value, kMaxUploadTimeoutSeconds,
                       "bad --timeout '%1': a number of seconds above 0 and at most %2");
}

// The one place the command line looks a board up; the commands take it
// from the options.
QString setBoard(Options &options, const QString &value)
{
    const Board *board = boardNamedIgnoringCase(value);
    if (!board)
        return QStringLiteral("unknown board '%1': use one of %2").arg(value, boardList());
    options.board = board;
    return QString();
}
} // namespace

const Option kHelpOption { "-h, --help", setFlag<&Options::help> };
const Option kVerboseOption { "--verbose", setFlag<&Options::verbose> };
const Option kJsonOption { "--json", setFlag<&Options::json> };
const Option kSecondsOption { "--seconds N", setSeconds };
const Option kBoardOption { "--board BOARD", setBoard };
const Option kNameOption { "--name NAME", setName };
const Option kAllOption { "--all", setFlag<&Options::all> };
const Option kAllMatchingOption { "--all-matching", setFlag<&Options::allMatching> };
const Option kTimeoutOption { "--timeout S", setTimeout };
const Option kVerifyOption { "--verify", setFlag<&Options::verify> };
const Option kTargetArgument { "TARGET", nullptr };

bool Option::isOption() const
{
    return syntax[0] == '-';
}

bool Option::takesValue() const
{
    return QString::fromLatin1(syntax).section(QStringLiteral(", "), -1).contains(QLatin1Char(' '));
}

QString Option::longName() const
{
    return QString::fromLatin1(syntax)
        .section(QStringLiteral(", "), -1)
        .section(QLatin1Char(' '), 0, 0)
        .mid(2);
}

QString Option::shortName() const
{
    const QString text = QString::fromLatin1(syntax);
    return text.contains(QStringLiteral(", ")) ? text.section(QStringLiteral(", "), 0, 0).mid(1)
                                               : QString();
}

OptionRow helpRow()
{
    return { &kHelpOption, QStringLiteral("show this text") };
}

OptionRow verboseRow()
{
    return { &kVerboseOption, QString() };
}

OptionRow shownVerboseRow()
{
    return { &kVerboseOption,
             QStringLiteral("let the engine's diagnostics through to standard error") };
}

QString setName(Options &options, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("--name needs a module name");
    options.names << value;
    return QString();
}

QString takePath(QString *field, const QString &value, const char *option)
{
    if (value.isEmpty())
        return QStringLiteral("--%1 needs a path").arg(QLatin1String(option));
    *field = value;
    return QString();
}

QString takeSeconds(double *field, const QString &value, double limit, const char *problem)
{
    const std::optional<double> seconds = parseSeconds(value, limit);
    if (!seconds)
        return QString::fromLatin1(problem).arg(value).arg(limit);
    *field = *seconds;
    return QString();
}

QString takeCount(int *field, const QString &value, int limit, const char *problem)
{
    bool ok = false;
    const int count = value.toInt(&ok);
    if (!ok || count < 1 || count > limit)
        return QString::fromLatin1(problem).arg(value).arg(limit);
    *field = count;
    return QString();
}

QString tooMany(const CommandEntry &command, const QStringList &arguments, int allowed)
{
    return QStringLiteral("%1 takes %2, not '%3'")
        .arg(QLatin1String(command.name),
             allowed == 0 ? QStringLiteral("no arguments")
                          : QStringLiteral("at most %1 arguments").arg(allowed),
             arguments.at(allowed));
}

QString noPositionals(const CommandEntry &command, Options &, QStringList arguments)
{
    return arguments.isEmpty() ? QString() : tooMany(command, arguments, 0);
}

QString boardList()
{
    return boardNames().join(QStringLiteral(", "));
}

QString listenSecondsText()
{
    return QString::number(kDefaultListenSeconds);
}

QString applicationSizeText(const char *board)
{
    const Board *found = boardNamed(QLatin1String(board));
    return found ? QString::number(found->applicationSize) : QString();
}
