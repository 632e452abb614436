#include "platform/folderlisting.h"

bool matchesWildcard(const QString &name, const QString &pattern)
{
    // Greedy matching with one backtrack point: the last '*' seen.
    int n = 0;
    int p = 0;
    int starPattern = -1;
    int starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern.at(p) == QLatin1Char('*')) {
            starPattern = p++;
            starName = n;
        } else if (p < pattern.size()
                   && (pattern.at(p) == QLatin1Char('?')
                       || pattern.at(p).toCaseFolded() == name.at(n).toCaseFolded())) {
            ++p;
            ++n;
        } else if (starPattern >= 0) {
            p = starPattern + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern.at(p) == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}
