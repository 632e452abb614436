#include "discovery/objectliteral.h"

#include <QHash>
#include <QStringList>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;
constexpr char16_t kLineSeparator = 0x2028;
constexpr char16_t kParagraphSeparator = 0x2029;
constexpr char16_t kVerticalTab = 0x0B;
constexpr char16_t kFormFeed = 0x0C;
constexpr char16_t kBackspace = 0x08;
// Integer literals at or above this lose digits when summed up front to back.
constexpr double kExactIntegerLimit = 9007199254740992.0;
// Room for the shortest round-trip digits of any double in scientific form.
constexpr int kNumberBufferSize = 32;
// Largest distance of the decimal point from the first digit (both ways)
// that the ToString layout writes without an exponent.
constexpr int kMaxPlainExponent = 21;
constexpr int kMinPlainExponent = -6;
constexpr int kHexRadix = 16;
constexpr int kOctalRadix = 8;
constexpr int kHexEscapeDigits = 2;
constexpr int kUnicodeEscapeDigits = 4;

const QString kObjectText = QStringLiteral("[object Object]");
// Names whose properties would change how an object turns into text.
const QString kPrototypeKey = QStringLiteral("__proto__");
const QString kToStringKey = QStringLiteral("toString");

// Words the engine refuses as unquoted property names.
const char *const kReservedWords[] = {
    "break",  "case",     "catch",  "class",  "const",  "continue",   "debugger", "default",
    "delete", "do",       "else",   "enum",   "export", "extends",    "false",    "finally",
    "for",    "function", "if",     "import", "in",     "instanceof", "new",      "null",
    "return", "super",    "switch", "this",   "throw",  "true",       "try",      "typeof",
    "var",    "void",     "while",  "with",
};

bool isReservedWord(const QString &word)
{
    for (const char *reserved : kReservedWords) {
        if (word == QLatin1String(reserved))
            return true;
    }
    return false;
}

bool isDecimalDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

bool isOctalDigit(char16_t c)
{
    return c >= u'0' && c <= u'7';
}

int hexDigitValue(char16_t c)
{
    if (isDecimalDigit(c))
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool isLineTerminator(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == kLineSeparator || c == kParagraphSeparator;
}

bool isWhiteSpace(char16_t c)
{
    return c == u'\t' || c == kVerticalTab || c == kFormFeed
        || QChar::category(c) == QChar::Separator_Space;
}

bool isIdentifierStart(char16_t c)
{
    if (c == u'$' || c == u'_')
        return true;
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
        return true;
    default:
        return false;
    }
}

bool isIdentifierPart(char16_t c)
{
    if (isIdentifierStart(c))
        return true;
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Number_DecimalDigit:
    case QChar::Punctuation_Connector:
        return true;
    default:
        return false;
    }
}

// The engine sums integer literals front to back; when that leaves the exact
// range it sums them again from the last digit up. Either way the result is
// the engine's, which for very long literals is not always the nearest double.
double integerLiteralValue(const QString &digits, int radix)
{
    double value = 0;
    for (const QChar c : digits)
        value = value * radix + hexDigitValue(c.unicode());
    if (value < kExactIntegerLimit)
        return value;
    value = 0;
    double weight = 1;
    for (int i = digits.size() - 1; i >= 0; --i) {
        const int digit = hexDigitValue(digits.at(i).unicode());
        if (std::isinf(weight)) {
            if (digit != 0)
                return std::numeric_limits<double>::infinity();
        } else {
            value += digit * weight;
        }
        weight *= radix;
    }
    return value;
}

// Whether a decimal literal whose conversion left the double range lies above
// it (rather than below): the position of its first significant digit.
bool isAboveDoubleRange(const std::string &literal)
{
    long long exponent = 0;
    const std::size_t ePos = literal.find_first_of("eE");
    if (ePos != std::string::npos) {
        bool negative = false;
        std::size_t i = ePos + 1;
        if (i < literal.size() && (literal[i] == '+' || literal[i] == '-'))
            negative = literal[i++] == '-';
        constexpr long long kExponentCeiling = 1000000000;
        for (; i < literal.size() && exponent < kExponentCeiling; ++i)
            exponent = exponent * 10 + (literal[i] - '0');
        if (negative)
            exponent = -exponent;
    }
    const std::string mantissa = literal.substr(0, ePos);
    const std::size_t point = mantissa.find('.');
    const std::string integerPart = mantissa.substr(0, point);
    const std::size_t firstSignificant = integerPart.find_first_not_of('0');
    if (firstSignificant != std::string::npos)
        return exponent + static_cast<long long>(integerPart.size() - firstSignificant) > 0;
    const std::string fraction
        = point == std::string::npos ? std::string() : mantissa.substr(point + 1);
    const std::size_t leadingZeros = fraction.find_first_not_of('0');
    return leadingZeros != std::string::npos && exponent - static_cast<long long>(leadingZeros) > 0;
}

double decimalLiteralValue(const std::string &literal)
{
    double value = 0;
    const auto result = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        return isAboveDoubleRange(literal) ? std::numeric_limits<double>::infinity() : 0.0;
    return value;
}

// A value on its way to its text: the text ToString gives, and whether the
// value is null or missing (an array writes those as nothing).
struct Value
{
    QString text;
    bool nullish = false;
};

// Reads one object literal without evaluating anything. Every character is
// looked at a bounded number of times; texts are built only where a property
// of the outermost object needs them.
class LiteralReader
{
public:
    explicit LiteralReader(QString source)
        : s(std::move(source))
    {
    }

    std::optional<LiteralProperties> readProgram()
    {
        LiteralProperties properties;
        if (!skipSpace() || peek() != u'{' || !readObject(1, &properties, nullptr) || !skipSpace())
            return std::nullopt;
        if (peek() == u';') {
            ++pos;
            if (!skipSpace())
                return std::nullopt;
        }
        if (pos != s.size())
            return std::nullopt;
        return properties;
    }

private:
    char16_t peek(int ahead = 0) const
    {
        const int at = pos + ahead;
        return at < s.size() ? s.at(at).unicode() : u'\0';
    }

    bool atEnd() const { return pos >= s.size(); }

    // White space, line ends and comments; false on an unterminated comment.
    bool skipSpace()
    {
        while (!atEnd()) {
            const char16_t c = peek();
            if (isWhiteSpace(c) || isLineTerminator(c)) {
                ++pos;
            } else if (c == u'/' && peek(1) == u'/') {
                pos += 2;
                while (!atEnd() && !isLineTerminator(peek()))
                    ++pos;
            } else if (c == u'/' && peek(1) == u'*') {
                const int end = s.indexOf(QLatin1String("*/"), pos + 2);
                if (end < 0)
                    return false;
                pos = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool readObject(int depth, LiteralProperties *properties, Value *value)
    {
        if (depth > kMaxLiteralDepth)
            return false;
        ++pos; // '{'
        QHash<QString, int> indexOf;
        for (;;) {
            if (!skipSpace())
                return false;
            if (peek() == u'}')
                break;
            QString name;
            if (!readPropertyName(&name))
                return false;
            if (name == kPrototypeKey || (!properties && name == kToStringKey))
                return false;
            if (!skipSpace() || peek() != u':')
                return false;
            ++pos;
            Value element;
            if (!readValue(depth, properties ? &element : nullptr))
                return false;
            if (properties) {
                const auto known = indexOf.constFind(name);
                if (known != indexOf.constEnd()) {
                    (*properties)[known.value()].second = element.text;
                } else {
                    indexOf.insert(name, properties->size());
                    properties->append({ name, element.text });
                }
            }
            if (!skipSpace())
                return false;
            if (peek() == u',') {
                ++pos;
                continue;
            }
            if (peek() == u'}')
                break;
            return false;
        }
        ++pos; // '}'
        if (value)
            value->text = kObjectText;
        return true;
    }

    bool readArray(int depth, Value *value)
    {
        if (depth > kMaxLiteralDepth)
            return false;
        ++pos; // '['
        QString joined;
        bool first = true;
        auto separate = [&] {
            if (value && !first)
                joined += u',';
            first = false;
        };
        for (;;) {
            if (!skipSpace())
                return false;
            if (peek() == u']')
                break;
            if (peek() == u',') {
                // A hole: an element that is missing and writes as nothing.
                separate();
                ++pos;
                continue;
            }
            Value element;
            if (!readValue(depth, value ? &element : nullptr))
                return false;
            separate();
            if (value && !element.nullish)
                joined += element.text;
            if (!skipSpace())
                return false;
            if (peek() == u',') {
                ++pos;
                continue;
            }
            if (peek() == u']')
                break;
            return false;
        }
        ++pos; // ']'
        if (value)
            value->text = joined;
        return true;
    }

    // One value after white space; `value` is null where its text is never used.
    bool readValue(int depth, Value *value)
    {
        if (!skipSpace())
            return false;
        const char16_t c = peek();
        if (c == u'{')
            return readObject(depth + 1, nullptr, value);
        if (c == u'[')
            return readArray(depth + 1, value);
        if (c == u'"' || c == u'\'') {
            QString text;
            if (!readString(&text))
                return false;
            if (value)
                value->text = text;
            return true;
        }
        if (c == u'-' || c == u'+') {
            // A sign before a number literal; the sign of anything else is an
            // operation on it and is refused.
            ++pos;
            if (!skipSpace() || !startsNumber())
                return false;
            double number = 0;
            if (!readNumber(&number))
                return false;
            if (value)
                value->text = ecmaNumberToString(c == u'-' ? -number : number);
            return true;
        }
        if (startsNumber()) {
            double number = 0;
            if (!readNumber(&number))
                return false;
            if (value)
                value->text = ecmaNumberToString(number);
            return true;
        }
        // Only the three literal words; any other name would be looked up.
        QString word;
        bool escaped = false;
        if (!readIdentifier(&word, &escaped) || escaped)
            return false;
        if (word == QLatin1String("true") || word == QLatin1String("false")) {
            if (value)
                value->text = word;
            return true;
        }
        if (word == QLatin1String("null")) {
            if (value) {
                value->text = word;
                value->nullish = true;
            }
            return true;
        }
        return false;
    }

    bool readPropertyName(QString *name)
    {
        const char16_t c = peek();
        if (c == u'"' || c == u'\'')
            return readString(name);
        if (startsNumber()) {
            double number = 0;
            if (!readNumber(&number))
                return false;
            *name = ecmaNumberToString(number);
            return true;
        }
        bool escaped = false;
        if (!readIdentifier(name, &escaped))
            return false;
        // Written with an escape, a reserved word is an ordinary name.
        return escaped || !isReservedWord(*name);
    }

    bool startsNumber() const
    {
        return isDecimalDigit(peek()) || (peek() == u'.' && isDecimalDigit(peek(1)));
    }

    // A numeric literal directly followed by a name start is an error.
    bool numberEndsCleanly() const { return atEnd() || !isIdentifierStart(peek()); }

    bool readNumber(double *number)
    {
        const int start = pos;
        if (peek() == u'0' && (peek(1) == u'x' || peek(1) == u'X')) {
            pos += 2;
            const int digits = pos;
            while (hexDigitValue(peek()) >= 0)
                ++pos;
            if (pos == digits)
                return false;
            *number = integerLiteralValue(s.mid(digits, pos - digits), kHexRadix);
            return numberEndsCleanly();
        }
        if (peek() == u'0' && isDecimalDigit(peek(1))) {
            // A leading zero makes an octal integer unless an 8 or 9 follows;
            // then the literal is decimal after all.
            int end = pos + 1;
            bool octal = true;
            while (end < s.size() && isDecimalDigit(s.at(end).unicode())) {
                octal = octal && isOctalDigit(s.at(end).unicode());
                ++end;
            }
            if (octal) {
                *number = integerLiteralValue(s.mid(pos + 1, end - pos - 1), kOctalRadix);
                pos = end;
                if (peek() == u'.' || peek() == u'e' || peek() == u'E')
                    return false;
                return numberEndsCleanly();
            }
        }
        int digits = 0;
        while (isDecimalDigit(peek())) {
            ++pos;
            ++digits;
        }
        if (peek() == u'.') {
            ++pos;
            while (isDecimalDigit(peek())) {
                ++pos;
                ++digits;
            }
        }
        if (digits == 0)
            return false;
        if (peek() == u'e' || peek() == u'E') {
            ++pos;
            if (peek() == u'+' || peek() == u'-')
                ++pos;
            const int exponentStart = pos;
            while (isDecimalDigit(peek()))
                ++pos;
            if (pos == exponentStart)
                return false;
        }
        *number = decimalLiteralValue(s.mid(start, pos - start).toStdString());
        return numberEndsCleanly();
    }

    bool readString(QString *text)
    {
        const char16_t quote = peek();
        ++pos;
        QString result;
        for (;;) {
            if (atEnd())
                return false;
            const char16_t c = peek();
            if (c == quote) {
                ++pos;
                break;
            }
            if (isLineTerminator(c))
                return false;
            ++pos;
            if (c != u'\\') {
                result += QChar(c);
                continue;
            }
            if (atEnd())
                return false;
            if (!readEscape(&result))
                return false;
        }
        *text = result;
        return true;
    }

    // The character after a backslash inside a string.
    bool readEscape(QString *result)
    {
        const char16_t c = peek();
        ++pos;
        switch (c) {
        case u'b':
            *result += QChar(kBackspace);
            return true;
        case u'f':
            *result += QChar(kFormFeed);
            return true;
        case u'n':
            *result += QChar(u'\n');
            return true;
        case u'r':
            *result += QChar(u'\r');
            return true;
        case u't':
            *result += QChar(u'\t');
            return true;
        case u'v':
            *result += QChar(kVerticalTab);
            return true;
        case u'x':
            // Without two hex digits the engine keeps the letter itself.
            if (hexDigitValue(peek()) >= 0 && hexDigitValue(peek(1)) >= 0) {
                *result += QChar(static_cast<char16_t>(hexDigitValue(peek()) * kHexRadix
                                                       + hexDigitValue(peek(1))));
                pos += kHexEscapeDigits;
            } else {
                *result += QChar(c);
            }
            return true;
        case u'u': {
            char16_t unit = 0;
            if (!readUnicodeEscapeDigits(&unit))
                return false;
            *result += QChar(unit);
            return true;
        }
        default:
            break;
        }
        if (isLineTerminator(c)) {
            // A line continuation; the engine takes CR LF and LF CR as one end.
            if ((c == u'\r' && peek() == u'\n') || (c == u'\n' && peek() == u'\r'))
                ++pos;
            return true;
        }
        if (isOctalDigit(c)) {
            // Legacy octal escape: up to three digits while the value stays
            // below 256, so a first digit of 4 to 7 takes one more at most.
            int code = c - u'0';
            const int maxDigits = code <= 3 ? 3 : 2;
            for (int taken = 1; taken < maxDigits && isOctalDigit(peek()); ++taken) {
                code = code * kOctalRadix + (peek() - u'0');
                ++pos;
            }
            *result += QChar(static_cast<char16_t>(code));
            return true;
        }
        *result += QChar(c);
        return true;
    }

    bool readUnicodeEscapeDigits(char16_t *unit)
    {
        int code = 0;
        for (int i = 0; i < kUnicodeEscapeDigits; ++i) {
            const int digit = hexDigitValue(peek(i));
            if (digit < 0)
                return false;
            code = code * kHexRadix + digit;
        }
        pos += kUnicodeEscapeDigits;
        *unit = static_cast<char16_t>(code);
        return true;
    }

    bool readIdentifier(QString *name, bool *escaped)
    {
        QString result;
        *escaped = false;
        for (;;) {
            if (atEnd())
                break;
            char16_t c = peek();
            if (c == u'\\') {
                if (peek(1) != u'u')
                    return false;
                pos += 2;
                if (!readUnicodeEscapeDigits(&c))
                    return false;
                *escaped = true;
                if (result.isEmpty() ? !isIdentifierStart(c) : !isIdentifierPart(c))
                    return false;
            } else if (result.isEmpty() ? isIdentifierStart(c) : isIdentifierPart(c)) {
                ++pos;
            } else {
                break;
            }
            result += QChar(c);
        }
        if (result.isEmpty())
            return false;
        *name = result;
        return true;
    }

    const QString s;
    int pos = 0;
};

} // namespace

std::optional<LiteralProperties> parseObjectLiteral(const QString &text)
{
    // The engine drops every byte order mark from a program before reading it,
    // even inside strings and numbers.
    QString source = text;
    source.remove(QChar(kByteOrderMark));
    return LiteralReader(std::move(source)).readProgram();
}

QString ecmaNumberToString(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (value == 0)
        return QStringLiteral("0");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-Infinity") : QStringLiteral("Infinity");
    if (value < 0)
        return QLatin1Char('-') + ecmaNumberToString(-value);

    // Shortest digits that read back as the value, as d.ddde±x.
    char buffer[kNumberBufferSize];
    const auto result
        = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string scientific(buffer, result.ptr);
    const std::size_t ePos = scientific.find('e');
    std::string digits;
    for (std::size_t i = 0; i < ePos; ++i) {
        if (scientific[i] != '.')
            digits += scientific[i];
    }
    const int k = static_cast<int>(digits.size());
    const int n = std::stoi(scientific.substr(ePos + 1)) + 1;

    std::string text;
    if (k <= n && n <= kMaxPlainExponent) {
        text = digits + std::string(static_cast<std::size_t>(n - k), '0');
    } else if (0 < n && n <= kMaxPlainExponent) {
        text = digits.substr(0, static_cast<std::size_t>(n)) + '.'
            + digits.substr(static_cast<std::size_t>(n));
    } else if (kMinPlainExponent < n && n <= 0) {
        text = "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
    } else {
        const int exponent = n - 1;
        text = digits.substr(0, 1);
        if (k > 1)
            text += '.' + digits.substr(1);
        text += exponent < 0 ? "e-" : "e+";
        text += std::to_string(exponent < 0 ? -exponent : exponent);
    }
    return QString::fromLatin1(text.c_str(), static_cast<int>(text.size()));
}
