#include "platform/commandshell.h"
#include "platform/folderlisting.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <ctime>

namespace {
// Kept as peers know it: see docs/kept-from-the-design.md.
const char kNoPath[] = "The system cannot find the path specified.\n";
const char kFileNotFound[] = "File Not Found\n";
// Local time, as the interpreter shows it.
const char kDateFormat[] = "%Y/%m/%d  %H:%M";
constexpr int kDateTextSize = 32;
constexpr int kSizeWidth = 17;
constexpr int kDirectoryPadding = 10;
constexpr int kSummaryIndent = 15;

// The user's temporary directory in the Windows profile layout, whichever
// user it names: here it is the platform's temporary directory.
const QRegularExpression &userTemporaryDirectory()
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\\Users\\[^\\]*\\AppData\\Local\\Temp\\?$)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QString localDateText(qint64 msecs)
{
    const std::time_t seconds = std::time_t(msecs / 1000);
    std::tm local {};
    char text[kDateTextSize] = {};
    if (!localtime_r(&seconds, &local)
        || std::strftime(text, sizeof text, kDateFormat, &local) == 0)
        return QString();
    return QString::fromLatin1(text);
}

bool isDriveChange(const QString &line)
{
    return line.size() == 2 && line.at(1) == QLatin1Char(':') && line.at(0).isLetter();
}

class InterpreterEmulation
{
public:
    QString run(const QString &line);

private:
    QString changeDirectory(QString target);
    QString listDirectory(const QStringList &arguments) const;

    // Like the interpreter, it starts in the process's working directory.
    QString current = QDir::currentPath();
};

QString InterpreterEmulation::run(const QString &line)
{
    const QString command = line.trimmed();
    if (command.isEmpty() || isDriveChange(command))
        return QString();
    const int blank = command.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString word = command.left(blank < 0 ? command.size() : blank).toLower();
    const QString rest = blank < 0 ? QString() : command.mid(blank + 1).trimmed();
    if (word == QLatin1String("cd"))
        return changeDirectory(rest);
    if (word == QLatin1String("dir"))
        return listDirectory(
            rest.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts));
    return QStringLiteral("'%1' is not recognized as an internal or external command,\n"
                          "operable program or batch file.\n")
        .arg(word);
}

QString InterpreterEmulation::changeDirectory(QString target)
{
    if (target.size() >= 2 && target.startsWith(QLatin1Char('"'))
        && target.endsWith(QLatin1Char('"')))
        target = target.mid(1, target.size() - 2);
    if (target.isEmpty())
        return QDir::toNativeSeparators(current) + QLatin1Char('\n');
    if (userTemporaryDirectory().match(target).hasMatch()) {
        current = QDir::tempPath();
        return QString();
    }
    // One folder down, by name; nothing else is reachable.
    const bool oneName = !target.contains(QLatin1Char('/')) && !target.contains(QLatin1Char('\\'))
        && target != QLatin1String("..") && target != QLatin1String(".");
    const QFileInfo folder(QDir(current).filePath(target));
    if (!oneName || !folder.isDir())
        return QString::fromLatin1(kNoPath);
    current = folder.absoluteFilePath();
    return QString();
}

QString InterpreterEmulation::listDirectory(const QStringList &arguments) const
{
    // The locator asks only for newest-first by last-write time (/o-d /tw),
    // so that is the one order given; switches are otherwise ignored.
    QStringList patterns;
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1Char('/')))
            patterns << argument;
    }
    if (patterns.isEmpty())
        patterns << QStringLiteral("*");

    QVector<FolderEntry> entries = folderEntries(current, patterns);
    // Hidden entries stay out of the listing, as the interpreter's do.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const FolderEntry &entry) {
                                     return entry.name.startsWith(QLatin1Char('.'));
                                 }),
                  entries.end());
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &a, const FolderEntry &b) {
        return a.lastWriteMsecs != b.lastWriteMsecs ? a.lastWriteMsecs > b.lastWriteMsecs
                                                    : a.name < b.name;
    });

    QString listing = QStringLiteral(" Directory of ") + QDir::toNativeSeparators(current)
        + QStringLiteral("\n\n");
    if (entries.isEmpty())
        return listing + QString::fromLatin1(kFileNotFound);
    int files = 0;
    int folders = 0;
    qint64 bytes = 0;
    for (const FolderEntry &entry : qAsConst(entries)) {
        listing += localDateText(entry.lastWriteMsecs);
        if (entry.isDirectory) {
            ++folders;
            listing += QStringLiteral("    <DIR>") + QString(kDirectoryPadding, QLatin1Char(' '));
        } else {
            ++files;
            bytes += entry.size;
            listing += QStringLiteral("%1 ").arg(entry.size, kSizeWidth);
        }
        listing += entry.name + QLatin1Char('\n');
    }
    const QString indent(kSummaryIndent, QLatin1Char(' '));
    listing += indent + QStringLiteral("%1 File(s) %2 bytes\n").arg(files).arg(bytes);
    listing += indent + QStringLiteral("%1 Dir(s)\n").arg(folders);
    return listing;
}
} // namespace

QString runCommandInterpreter(const QStringList &commandLines)
{
    InterpreterEmulation interpreter;
    QString output;
    for (const QString &line : commandLines)
        output += interpreter.run(line);
    return output;
}

QString interpreterTemporaryDirectory(const QString &userName)
{
    Q_UNUSED(userName)
    return QDir::toNativeSeparators(QDir::tempPath());
}
