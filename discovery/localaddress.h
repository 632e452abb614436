#pragma once

#include <QString>

class QHostAddress;

// The text form of this host's first IPv4 address, in the order the system
// lists its interfaces' addresses (loopback counts when it comes first); a
// null string when the host has none.
QString firstIPv4Address();

// Whether a datagram from `sender` is the host's own announcement, given the
// host's address text: such datagrams are dropped. An IPv4-mapped IPv6
// sender counts as its IPv4 address. A null host text matches no sender.
bool isOwnAnnouncement(const QHostAddress &sender, const QString &hostAddress);
