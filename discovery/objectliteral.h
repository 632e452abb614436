#pragma once

#include <QPair>
#include <QString>
#include <QVector>

#include <optional>

// A reader of ECMAScript object literals that never evaluates anything: the
// module announcements are written as such literals.

// Own properties of an object literal in the order of their first appearance,
// each with its value turned to text by the ECMAScript ToString rules; a
// repeated name keeps its first place and takes the last value.
using LiteralProperties = QVector<QPair<QString, QString>>;

// Reads `text` as exactly one ECMAScript object literal, optionally followed by
// one semicolon, with white space and comments around it. Returns nothing for
// any other text: nothing is ever evaluated, so a payload holding script can
// neither run nor stall the caller. Work and nesting depth are bounded by the
// length of the text and kMaxLiteralDepth.
std::optional<LiteralProperties> parseObjectLiteral(const QString &text);

// ECMAScript Number::toString for radix 10: the shortest digits that read back
// as `value`, laid out as an engine prints them (1e+21, 1e-7, 0.000001, -0 as 0).
QString ecmaNumberToString(double value);

// Deeper nesting of objects and arrays than this drops the payload.
constexpr int kMaxLiteralDepth = 64;
