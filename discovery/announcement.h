#pragma once

#include <QByteArray>
#include <QString>

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

// The text a datagram carries: its bytes up to the first NUL, read as UTF-8.
QString announcementText(const QByteArray &payload);

// The fields of one datagram's payload, or nothing when the payload is not an
// object literal. A literal without "host ip" yields an empty hostIp.
std::optional<Announcement> parseAnnouncement(const QByteArray &payload);

// Whether a "host ip" text names a module that can be connected to: a
// dotted-quad IPv4 address written the one way it prints (no leading zeros,
// no blanks), and unicast: not in 0.0.0.0/8, not multicast, not broadcast.
// The text identifies the module, so two spellings of one address must not
// make two modules.
bool isModuleAddress(const QString &text);

// A datagram larger than this is dropped unread: an announcement is a few
// dozen bytes, and large ones only cost parsing time and memory.
constexpr int kMaxAnnouncementBytes = 4 * 1024;
// Modules listed at once (window rows, the command line's list), so a flood
// of made-up modules cannot grow the program without bound; which modules a
// full list keeps is ModuleAdmission's choice.
constexpr int kMaxListedModules = 256;
