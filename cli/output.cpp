#include "cli/output.h"

#include "cli/options.h"
#include "firmware/hexconversion.h"
#include "platform/terminal.h"

#include <QFile>
#include <QJsonDocument>
#include <QStringList>

namespace {
// The marks and embeddings that reorder the text around them: a name holding
// U+202E would show the rest of its line backwards, what follows it included.
bool isBidiControl(QChar c)
{
    const char16_t code = c.unicode();
    return code == 0x061C // ARABIC LETTER MARK
        || code == 0x200E || code == 0x200F // LEFT-TO-RIGHT and RIGHT-TO-LEFT MARK
        || (code >= 0x202A && code <= 0x202E) // embeddings, overrides and their end
        || (code >= 0x2066 && code <= 0x2069); // isolates and their end
}
} // namespace

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (category != QChar::Other_Control && category != QChar::Separator_Line
            && category != QChar::Separator_Paragraph && !isBidiControl(c)) {
            shown += c;
        } else {
            const bool byte = c.unicode() <= 0xFF;
            shown += (byte ? QLatin1String("\\x") : QLatin1String("\\u"))
                + QString::number(c.unicode(), 16)
                      .toUpper()
                      .rightJustified(byte ? 2 : 4, QLatin1Char('0'));
        }
    }
    return shown;
}

void printText(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void printLine(const QString &text)
{
    printText(stdout, printable(text) + QLatin1Char('\n'));
}

void printError(const QString &text)
{
    printText(stderr, QStringLiteral("rudireze-cli: ") + printable(text) + QLatin1Char('\n'));
}

void writeBytes(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString wrapText(const QString &text, int width)
{
    const int limit = qMax(width, 1);
    QString wrapped;
    QString line;
    for (QString word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > limit) {
            wrapped += line + QLatin1Char('\n');
            line.clear();
        }
        while (word.size() > limit) {
            wrapped += word.left(limit) + QLatin1Char('\n');
            word.remove(0, limit);
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return wrapped + line + QLatin1Char('\n');
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'g', 6);
}

void printJson(const QJsonObject &object)
{
    writeBytes(stdout, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

void printFailureJson(const char *failureJson, const QString &error)
{
    QJsonObject object
        = failureJson ? QJsonDocument::fromJson(failureJson).object() : QJsonObject();
    object.insert(QStringLiteral("error"), error);
    printJson(object);
}

int refuse(const Options &options, const char *failureJson, const QString &message, int exitStatus)
{
    printError(message);
    if (options.json)
        printFailureJson(failureJson, message);
    return exitStatus;
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString writeToStandardOutput(const StandardOutputTaken &taken, const QByteArray &bytes)
{
    QFile output;
    if (taken.descriptor() < 0
        || !output.open(taken.descriptor(), QIODevice::WriteOnly | QIODevice::Unbuffered)
        || !writeAllBytes(output, bytes))
        return QStringLiteral("cannot write to standard output: ") + output.errorString();
    return QString();
}
