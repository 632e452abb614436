#pragma once

#include "common/names.h"
#include "discovery/announcement.h"
#include "discovery/announcementrelay.h"
#include "discovery/moduleadmission.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QUdpSocket>

#include <functional>
#include <optional>

#include <memory>

// Takes the next datagram off the socket and reads it as a module's
// announcement. Datagrams over kMaxAnnouncementBytes are dropped unread;
// anything that is no module's announcement, or comes from this host itself
// (ownAddress is asked only for a valid announcement), gives nothing. With a
// relay, copies from the other listeners count as the module's own datagrams,
// and announcements taken from the port are passed on to them.
std::optional<Announcement> readAnnouncement(QUdpSocket &socket,
                                             const std::function<QString()> &ownAddress,
                                             AnnouncementRelay *relay = nullptr);

// Listens on UDP port 3333 as the window does (shared with other programs)
// and keeps the modules heard, leaving out this host's own announcements.
// The other listeners of ours on the host see what it takes from the port
// (AnnouncementRelay), and it sees what they take.
class AnnouncementListener
{
public:
    static constexpr quint16 kPort = kAnnouncementPort;

    // False with the reason when the port cannot be bound.
    bool bind(QString *error);

    // Reads announcements until the deadline, or earlier once `enough` says
    // the modules heard so far suffice. Returns the modules in the order
    // they were listed; a module that announces itself again keeps its
    // place and takes its latest values. At most kMaxListedModules are kept;
    // once that many are, a module heard in two of the window's refresh ticks
    // takes the place of one heard in fewer (ModuleAdmission).
    QList<Announcement> listen(QDeadlineTimer deadline,
                               const std::function<bool(const QList<Announcement> &)> &enough = {});

    // Instead of listen(), for a caller whose event loop runs: every module
    // announcement is handed to `heard` as it arrives. A flood holds up the
    // event loop for a few milliseconds at a time; the rest is read on its
    // next turn.
    void follow(const std::function<void(const Announcement &)> &heard);

private:
    void readPending(QList<Announcement> &heard);
    void followPending();

    QUdpSocket socket;
    std::unique_ptr<AnnouncementRelay> relay;
    // Where each address stands in the list being filled.
    QHash<QString, int> positions;
    // Made by listen() only: its table is large, and follow() needs none.
    std::optional<ModuleAdmission> admission;
    std::function<void(const Announcement &)> followed;
};
