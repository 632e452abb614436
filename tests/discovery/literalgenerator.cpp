#include "literalgenerator.h"

#include <QLocale>
#include <QtMath>

#include <cstring>

namespace {
constexpr int kMaxDepth = 4;
constexpr int kMaxProperties = 7;
constexpr int kMaxElements = 6;
constexpr int kMaxStringLength = 12;
constexpr int kMaxLongDigits = 30;
constexpr int kMaxMutations = 3;

const char *const kFourKeys[] = { "host ip", "data port", "atcomd port", "hostname" };

// Keys an engine reads as some other name or not at all.
const char *const kOddKeys[] = {
    "Host IP", "HOSTNAME", "host  ip",  "hostip", "get",      "set",     "let",
    "yield",   "static",   "undefined", "NaN",    "Infinity", "valueOf", "constructor",
    "length",  "0",        "01",        "1e3",    "-1",       "",
};

const char *const kReservedWords[] = { "if", "in", "do", "for", "new", "var", "null", "true" };

const char16_t kIdentifierStarts[] = { u'a', u'b',   u'z',   u'A',   u'Q',   u'Z',   u'$',
                                       u'_', 0x00e9, 0x03c0, 0x01c5, 0x02b0, 0x4e2d, 0x0416 };
const char16_t kIdentifierParts[] = { u'0', u'7', u'9', 0x0300, 0x0903, 0x203f, 0x0660, u'_' };

const char *const kSpaces[] = {
    " ",
    "\t",
    "\n",
    "\r\n",
    "\v",
    "\f",
    "\xc2\xa0",
    "\xe2\x80\xa8",
    "\xe2\x80\xa9",
    "\xe3\x80\x80",
    "\xe1\x9a\x80",
    "\xef\xbb\xbf",
    "/* c */",
    "/*\n*/",
    "// c\n",
    "// c\xe2\x80\xa8",
    "/**/",
};

// Characters that stand in a string as they are.
const char *const kPlainCharacters[] = {
    "a",
    "Z",
    "0",
    " ",
    "~",
    "{",
    "}",
    ":",
    ",",
    "/",
    "*",
    "$",
    "\t",
    "\x01",
    "\xc3\xa9",
    "\xcf\x80",
    "\xe4\xb8\xad",
    "\xf0\x9f\x98\x80",
    "\xef\xbf\xbd",
    "\xc2\xa0",
    "\xef\xbb\xbf",
    "\x7f",
};

const char *const kEscapes[] = {
    "\\n",
    "\\t",
    "\\b",
    "\\f",
    "\\v",
    "\\r",
    "\\0",
    "\\\\",
    "\\'",
    "\\\"",
    "\\q",
    "\\8",
    "\\9",
    "\\ ",
    "\\\n",
    "\\\r",
    "\\\r\n",
    "\\\n\r",
    "\\\xe2\x80\xa8",
    "\\\xe2\x80\xa9",
    "\\x",
    "\\xG",
    "\\a",
};

const char *const kFixedNumbers[] = {
    "0",
    "0.0",
    ".0",
    "0e0",
    "00",
    "0.",
    "5.",
    "5.e3",
    "1e21",
    "1e-7",
    "1e20",
    "999999999999999999999",
    "0.000001",
    "123e-20",
    "4.35",
    "0.1",
    "1e400",
    "1e-400",
    "5e-324",
    "2e-324",
    "3e-324",
    "1.7976931348623157e308",
    "1.7976931348623159e308",
    "9007199254740993",
    "0x20000000000001F",
    "0X1f",
    "1.00000000000000011102230246251565404236316680908203125",
    "0.0001e400",
    "000",
    "08",
    "019.5",
    "08e1",
    "09",
    "1E+2",
    "1e-0",
};

const char *const kMutationPieces[] = {
    "{",    "}",  "[", "]",    "(",  ")",  "\"",           "'",    ",",    ":",
    ";",    "+",  "-", ".",    "=",  "/",  "\\",           "*",    "0",    "9",
    "e",    "x",  "a", " ",    "\n", "u",  "\xe2\x80\xa8", "true", "null", "function(){}",
    "/**/", "//", "`", "get ", "08", "0x", "\\u0061",      "\\x4", "\\0",
};

QString fromUtf8(const char *text)
{
    return QString::fromUtf8(text, int(std::strlen(text)));
}
} // namespace

QString LiteralGenerator::program()
{
    QString text;
    if (chance(30))
        text += space();
    text += object(0);
    if (chance(30))
        text += space();
    if (chance(30)) {
        text += QLatin1Char(';');
        if (chance(30))
            text += space();
    }
    return text;
}

QString LiteralGenerator::space()
{
    QString text;
    const int count = 1 + below(2);
    for (int i = 0; i < count; ++i)
        text += fromUtf8(pick(kSpaces));
    return text;
}

QString LiteralGenerator::object(int depth)
{
    // The outermost object mostly carries the keys that matter.
    QString text = QStringLiteral("{");
    const int count = below(kMaxProperties + 1);
    for (int i = 0; i < count; ++i) {
        if (chance(25))
            text += space();
        text += key();
        if (chance(15))
            text += space();
        text += QLatin1Char(':');
        if (chance(25))
            text += space();
        text += value(depth + 1);
        if (chance(15))
            text += space();
        if (i + 1 < count || chance(20))
            text += QLatin1Char(',');
    }
    if (chance(20))
        text += space();
    return text + QLatin1Char('}');
}

QString LiteralGenerator::array(int depth)
{
    QString text = QStringLiteral("[");
    const int count = below(kMaxElements + 1);
    for (int i = 0; i < count; ++i) {
        if (chance(15))
            text += space();
        if (!chance(15)) // a hole otherwise
            text += value(depth + 1);
        if (i + 1 < count || chance(30))
            text += QLatin1Char(',');
    }
    return text + QLatin1Char(']');
}

QString LiteralGenerator::value(int depth)
{
    const int kind = below(depth < kMaxDepth ? 10 : 8);
    switch (kind) {
    case 0:
    case 1:
    case 2:
        return string();
    case 3:
    case 4:
        return number();
    case 5: {
        // A signed number, the sign apart from the literal now and then.
        QString sign = chance(70) ? QStringLiteral("-") : QStringLiteral("+");
        if (chance(20))
            sign += space();
        return sign + number();
    }
    case 6: {
        const char *const words[] = { "true", "false", "null" };
        return QLatin1String(pick(words));
    }
    case 7:
        return string();
    case 8:
        return object(depth);
    default:
        return array(depth);
    }
}

QString LiteralGenerator::key()
{
    switch (below(10)) {
    case 0:
    case 1:
    case 2:
    case 3: {
        const QString name = QLatin1String(pick(kFourKeys));
        if (name == QLatin1String("hostname") && chance(40))
            return chance(70) ? name : QStringLiteral("hostn\\u0061me");
        const QChar quote = chance(50) ? QLatin1Char('"') : QLatin1Char('\'');
        QString spelled = name;
        if (chance(15))
            spelled.replace(QLatin1Char(' '),
                            chance(50) ? QStringLiteral("\\x20") : QStringLiteral("\\u0020"));
        return quote + spelled + quote;
    }
    case 4: {
        const QChar quote = chance(50) ? QLatin1Char('"') : QLatin1Char('\'');
        return quote + QLatin1String(pick(kOddKeys)) + quote;
    }
    case 5:
        if (chance(50)) {
            // Written with an escape, a reserved word is an ordinary name.
            QString word = QLatin1String(pick(kReservedWords));
            return QStringLiteral("\\u%1").arg(word.at(0).unicode(), 4, 16, QLatin1Char('0'))
                + word.mid(1);
        }
        return identifier();
    case 6:
    case 7:
        return identifier();
    case 8: {
        QString text = number();
        return text;
    }
    default:
        return string();
    }
}

QString LiteralGenerator::identifier()
{
    for (;;) {
        QString text;
        if (chance(10))
            text += QStringLiteral("\\u%1").arg(int(pick(kIdentifierStarts)), 4, 16,
                                                QLatin1Char('0'));
        else
            text += QChar(pick(kIdentifierStarts));
        const int length = below(6);
        for (int i = 0; i < length; ++i) {
            const char16_t c = chance(60) ? pick(kIdentifierStarts) : pick(kIdentifierParts);
            if (chance(8))
                text += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
            else
                text += QChar(c);
        }
        bool reserved = false;
        for (const char *word : kReservedWords)
            reserved = reserved || text == QLatin1String(word);
        if (!reserved)
            return text;
    }
}

QString LiteralGenerator::hexDigits(int count)
{
    static const char digits[] = "0123456789abcdefABCDEF";
    QString text;
    for (int i = 0; i < count; ++i)
        text += QLatin1Char(digits[below(int(sizeof digits) - 1)]);
    return text;
}

QString LiteralGenerator::stringCharacter(QChar quote)
{
    const int kind = below(10);
    if (kind < 4) {
        const QString plain = fromUtf8(pick(kPlainCharacters));
        return plain;
    }
    if (kind == 4)
        return quote == QLatin1Char('"') ? QStringLiteral("'") : QStringLiteral("\"");
    if (kind == 5)
        return fromUtf8(pick(kEscapes));
    if (kind == 6) {
        // Legacy octal escapes of one to three digits.
        QString text = QStringLiteral("\\");
        const int length = 1 + below(3);
        for (int i = 0; i < length; ++i)
            text += QLatin1Char(char('0' + below(8)));
        return text;
    }
    if (kind == 7)
        return QStringLiteral("\\x") + hexDigits(chance(85) ? 2 : 1);
    if (kind == 8)
        return QStringLiteral("\\u") + hexDigits(4);
    return QString(QLatin1Char(char('!' + below(90)))).remove(quote).remove(QLatin1Char('\\'));
}

QString LiteralGenerator::string()
{
    const QChar quote = chance(60) ? QLatin1Char('"') : QLatin1Char('\'');
    QString text = quote;
    const int length = below(kMaxStringLength + 1);
    for (int i = 0; i < length; ++i)
        text += stringCharacter(quote);
    return text + quote;
}

QString LiteralGenerator::number()
{
    auto digits = [this](int count, bool nonZeroFirst) {
        QString text;
        for (int i = 0; i < count; ++i)
            text += QLatin1Char(char('0' + (i == 0 && nonZeroFirst ? 1 + below(9) : below(10))));
        return text;
    };
    auto randomDouble = [this] {
        for (;;) {
            const quint64 bits = random.generate64() & ~(quint64(1) << 63);
            double value = 0;
            std::memcpy(&value, &bits, sizeof value);
            if (qIsFinite(value))
                return value;
        }
    };
    switch (below(12)) {
    case 0:
        return QString::number(below(100000));
    case 1:
        return digits(1 + below(kMaxLongDigits), true);
    case 2: {
        const QString whole = chance(30) ? QString() : digits(1 + below(6), true);
        const QString fraction
            = whole.isEmpty() || chance(80) ? digits(1 + below(8), false) : QString();
        return whole + QLatin1Char('.') + fraction;
    }
    case 3: {
        QString mantissa = digits(1 + below(4), true);
        if (chance(50))
            mantissa += QLatin1Char('.') + digits(below(4), false);
        const QString exponentSign = chance(30) ? QStringLiteral("-")
            : chance(30)                        ? QStringLiteral("+")
                                                : QString();
        const int exponent = chance(10) ? 290 + below(40) : below(30);
        return mantissa + (chance(50) ? QLatin1Char('e') : QLatin1Char('E')) + exponentSign
            + QString::number(exponent);
    }
    case 4:
        return (chance(50) ? QStringLiteral("0x") : QStringLiteral("0X"))
            + hexDigits(1 + below(chance(70) ? 8 : kMaxLongDigits));
    case 5: {
        QString text = QStringLiteral("0");
        const int length = 1 + below(chance(70) ? 6 : 26);
        for (int i = 0; i < length; ++i)
            text += QLatin1Char(char('0' + below(8)));
        return text;
    }
    case 6: {
        // A leading zero and an 8 or 9 make a decimal literal after all.
        QString text = QStringLiteral("0") + digits(below(3), false)
            + QLatin1Char(char('8' + below(2))) + digits(below(3), false);
        if (chance(40))
            text += QLatin1Char('.') + digits(below(3), false);
        if (chance(30))
            text += QStringLiteral("e") + QString::number(below(20));
        return text;
    }
    case 7:
        return QString::number(randomDouble(), 'g', 17);
    case 8:
        return QString::number(randomDouble(), 'g', QLocale::FloatingPointShortest);
    case 9:
        return QLatin1String(pick(kFixedNumbers));
    case 10:
        return QString::number(below(1000)) + QStringLiteral("e-")
            + QString::number(300 + below(30));
    default:
        return QString::number(double(below(1000000)) / (1 + below(1000)), 'g', 1 + below(17));
    }
}

QString LiteralGenerator::mutate(const QString &program)
{
    QString text = program;
    const int count = 1 + below(kMaxMutations);
    for (int i = 0; i < count && !text.isEmpty(); ++i) {
        const int at = below(text.size());
        switch (below(4)) {
        case 0:
            text.remove(at, 1 + below(3));
            break;
        case 1:
            text.insert(at, fromUtf8(pick(kMutationPieces)));
            break;
        case 2:
            text.replace(at, 1, fromUtf8(pick(kMutationPieces)));
            break;
        default:
            text.insert(at, text.mid(below(text.size()), 1 + below(8)));
            break;
        }
    }
    return text;
}
