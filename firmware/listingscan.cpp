#include "firmware/listingscan.h"

#include <algorithm>

namespace {
const QLatin1String kDirectoryMarker("<DIR>");
const QLatin1String kBuildPrefix("build");
const QLatin1String kBuildSuffix(".tmp");
const QLatin1String kInoHex(".ino.hex");
const QLatin1String kCppHex(".cpp.hex");
constexpr int kHexEndingLength = 8;
constexpr int kTwoDigits = 2;

// Characters the interpreter gives a meaning to on a "cd" line.
const QLatin1String kInterpreterSpecials("&|<>^%\"");

bool isNameBoundary(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, kTwoDigits, 10, QLatin1Char('0'));
}
} // namespace

// Kept as users know them, blanks and all: see docs/kept-from-the-design.md.
QStringList buildDirectoryCommands(const QString &userName)
{
    return { QStringLiteral("c:\n"),
             QStringLiteral("cd \\Users\\") + userName + QStringLiteral("\\AppData\\Local\\Temp\n"),
             QStringLiteral("dir D build* /o-d/tw\n") };
}

QStringList hexFileCommands(const QString &userName, const QString &dir)
{
    return buildDirectoryCommands(userName) << QStringLiteral("cd ") + dir + QStringLiteral("\n")
                                            << QStringLiteral("dir *.hex  /o-d/tw \n");
}

// Kept as peers know it: see docs/kept-from-the-design.md.
std::optional<QString> buildDirectoryInListing(const QString &listing)
{
    const int length = listing.size();
    if (length > kMaxListingLength)
        return std::nullopt;
    // A marker needs at least one character after it.
    const int lastMarkerStart = length - kDirectoryMarker.size() - 1;
    int marker = listing.indexOf(kDirectoryMarker);
    while (marker >= 0 && marker <= lastMarkerStart) {
        const int afterMarker = marker + kDirectoryMarker.size();
        int lineEnd = listing.indexOf(QLatin1Char('\n'), afterMarker);
        if (lineEnd < 0)
            lineEnd = length;
        // An entry ends with its line: a name never runs into the next entry.
        const QString entry = listing.mid(afterMarker, lineEnd - afterMarker);
        const int build = entry.indexOf(kBuildPrefix);
        if (build >= 0) {
            QString name = entry.mid(build);
            while (!name.isEmpty() && name.back().isSpace())
                name.chop(1);
            const bool usable = name.endsWith(kBuildSuffix)
                && name.size() <= kMaxBuildDirectoryNameLength
                && std::none_of(name.begin(), name.end(),
                                [](QChar c) { return kInterpreterSpecials.contains(c); });
            if (usable)
                return name;
        }
        marker = listing.indexOf(kDirectoryMarker, lineEnd);
    }
    return std::nullopt;
}

std::optional<QString> hexFileInListing(const QString &listing)
{
    const int length = listing.size();
    if (length > kMaxListingLength || length <= kHexEndingLength)
        return std::nullopt;
    const int ino = listing.indexOf(kInoHex);
    const int cpp = listing.indexOf(kCppHex);
    const int ending = ino < 0 ? cpp : (cpp < 0 ? ino : qMin(ino, cpp));
    // The ending needs at least one character after it.
    if (ending < 0 || ending > length - kHexEndingLength - 1)
        return std::nullopt;
    int start = ending;
    while (start > 0 && !isNameBoundary(listing.at(start - 1)))
        --start;
    const QString name = listing.mid(start, ending + kHexEndingLength - start);
    if (name.size() > kMaxHexFileNameLength)
        return std::nullopt;
    return name;
}

// Kept as users know it: see docs/kept-from-the-design.md.
QString generateTimeText(const QDateTime &lastWrite)
{
    const QDateTime shown = lastWrite.toLocalTime();
    const QDate date = shown.date();
    const QTime time = shown.time();
    return QString::number(date.year()) + QLatin1Char('-') + twoDigits(date.month())
        + QLatin1Char('-') + twoDigits(date.day()) + QLatin1Char(' ') + QString::number(time.hour())
        + QLatin1Char(':') + twoDigits(time.minute()) + QLatin1Char(':') + twoDigits(time.second());
}
