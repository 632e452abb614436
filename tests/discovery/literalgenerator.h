#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>

// Writes random ECMAScript object literals in every spelling the announcement
// reader accepts: quoted, bare and numeric keys, strings with every kind of
// escape, numbers in all notations, nested objects and arrays with holes,
// white space and comments between all tokens. Seeded, so a failure repeats.
class LiteralGenerator
{
public:
    explicit LiteralGenerator(quint32 seed)
        : random(seed)
    {
    }

    QString program();
    // Breaks a program in a few random places, mostly into something that is
    // no longer a literal.
    QString mutate(const QString &program);

private:
    QString object(int depth);
    QString array(int depth);
    QString value(int depth);
    QString key();
    QString identifier();
    QString string();
    QString stringCharacter(QChar quote);
    QString number();
    QString space();
    QString hexDigits(int count);

    int below(int bound) { return int(random.bounded(bound)); }
    bool chance(int percent) { return below(100) < percent; }
    template<typename T, int N> const T &pick(const T (&items)[N]) { return items[below(N)]; }

    QRandomGenerator random;
};
