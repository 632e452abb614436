#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

#include <optional>

// The four fields a module announces about itself, as the device table shows
// them. Absent keys keep these defaults.
struct Announcement
{
    QString hostIp;
    QString dataPort;
    QString atPort;
    QString hostName = QStringLiteral("corvane");
};

// Own properties of an object literal in the order of their first appearance,
// each with its value turned to text by the ECMAScript ToString rules; a
// repeated name keeps its first place and takes the last value.
using LiteralProperties = QVector<QPair<QString, QString>>;

// The text a datagram carries: its bytes up to the first NUL, read as UTF-8.
QString announcementText(const QByteArray &payload);

// Reads `text` as exactly one ECMAScript object literal, optionally followed by
// one semicolon, with white space and comments around it. Returns nothing for
// any other text: nothing is ever evaluated, so a payload holding script can
// neither run nor stall the caller. Work and nesting depth are bounded by the
// length of the text and kMaxLiteralDepth.
std::optional<LiteralProperties> parseObjectLiteral(const QString &text);

// The fields of one datagram's payload, or nothing when the payload is not an
// object literal. A literal without "host ip" yields an empty hostIp.
std::optional<Announcement> parseAnnouncement(const QByteArray &payload);

// Whether a "host ip" text names a module that can be connected to: a
// dotted-quad IPv4 address written the one way it prints (no leading zeros,
// no blanks), and unicast: not in 0.0.0.0/8, not multicast, not broadcast.
// The text identifies the module, so two spellings of one address must not
// make two modules.
bool isModuleAddress(const QString &text);

// ECMAScript Number::toString for radix 10: the shortest digits that read back
// as `value`, laid out as an engine prints them (1e+21, 1e-7, 0.000001, -0 as 0).
QString ecmaNumberToString(double value);

// Deeper nesting of objects and arrays than this drops the payload.
constexpr int kMaxLiteralDepth = 64;

// A datagram larger than this is dropped unread: an announcement is a few
// dozen bytes, and large ones only cost parsing time and memory.
constexpr int kMaxAnnouncementBytes = 4 * 1024;
// Modules listed at once (window rows, the command line's list); more are
// ignored until listed ones fall silent, so a flood of made-up modules cannot
// grow the program without bound.
constexpr int kMaxListedModules = 256;
