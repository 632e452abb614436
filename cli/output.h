#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Everything the command-line tool prints goes out here. Module names and
// other announced texts may hold anything: shown raw, an escape sequence
// would act on the terminal and a line end forge a line, so messages are
// escaped; only the program's own texts and the board's bytes pass as they
// are.

// The text with control characters, line separators and the bidirectional
// controls (U+202E and its kin) as \xHH or \uHHHH.
QString printable(const QString &text);

// Where the program's own messages go: standard error.
std::FILE *standardError();

// A line on standard output, escaped.
void printLine(const QString &text);
// "rudireze-cli: " and the message on standard error, escaped.
void printError(const QString &text);
// The program's own text (help, progress lines) as it is, in the locale's
// encoding.
void printText(std::FILE *stream, const QString &text);
// Bytes as they are: JSON, which is UTF-8 whatever the locale, and what a
// board sends.
void writeBytes(std::FILE *stream, const QByteArray &bytes);

// The text broken at blanks into lines of at most `width` characters; a word
// longer than that is cut. Each line ends with "\n".
QString wrapText(const QString &text, int width);

// Seconds as messages show them: 3, 1.5.
QString secondsText(double seconds);
