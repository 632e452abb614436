#include "discovery/announcementlistener.h"

#include "discovery/localaddress.h"

#include <QElapsedTimer>
#include <QHostAddress>

namespace {
// The longest single wait, so that the deadline is kept closely.
constexpr int kWaitSliceMs = 100;
// Time one pass of follow() may spend on datagrams before the event loop
// (liveness ticks, commands on standard input) gets its turn again.
constexpr qint64 kPassBudgetNs = 4000000;
} // namespace

std::optional<Announcement> readAnnouncement(QUdpSocket &socket,
                                             const std::function<QString()> &ownAddress,
                                             AnnouncementRelay *relay)
{
    AnnouncementRelay::Datagram datagram;
    if (relay) {
        std::optional<AnnouncementRelay::Datagram> read = relay->read();
        if (!read)
            return std::nullopt;
        datagram = std::move(*read);
    } else {
        const qint64 size = socket.pendingDatagramSize();
        if (size > kMaxAnnouncementBytes) {
            socket.readDatagram(nullptr, 0);
            return std::nullopt;
        }
        datagram.payload.resize(static_cast<int>(qMax<qint64>(size, 0)));
        socket.readDatagram(datagram.payload.data(), datagram.payload.size(), &datagram.sender);
    }

    std::optional<Announcement> announcement = parseAnnouncement(datagram.payload);
    if (!announcement || !isModuleAddress(announcement->hostIp)
        || isOwnAnnouncement(datagram.sender, ownAddress()))
        return std::nullopt;
    if (relay)
        relay->pass(datagram);
    return announcement;
}

bool AnnouncementListener::bind(QString *error)
{
    if (socket.bind(QHostAddress::Any, kPort,
                    QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        relay = std::make_unique<AnnouncementRelay>(socket);
        return true;
    }
    *error
        = QStringLiteral("cannot listen on UDP port %1: %2").arg(kPort).arg(socket.errorString());
    return false;
}

QList<Announcement>
AnnouncementListener::listen(QDeadlineTimer deadline,
                             const std::function<bool(const QList<Announcement> &)> &enough)
{
    QList<Announcement> heard;
    positions.clear();
    admission.emplace();
    QElapsedTimer listening;
    listening.start();
    qint64 periods = 0;
    while (true) {
        // Admission counts time in the window's refresh ticks.
        for (; listening.elapsed() >= (periods + 1) * kAdmissionPeriodMs; ++periods)
            admission->age(kRememberedPeriods);
        if (relay)
            relay->greetIfDue();
        readPending(heard);
        if (enough && enough(heard))
            break;
        const qint64 remaining = deadline.remainingTime();
        if (remaining == 0)
            break;
        // A deadline that never expires still waits in slices.
        const qint64 slice = remaining < 0 ? kWaitSliceMs : qMin<qint64>(remaining, kWaitSliceMs);
        socket.waitForReadyRead(static_cast<int>(slice));
    }
    return heard;
}

void AnnouncementListener::follow(const std::function<void(const Announcement &)> &heard)
{
    followed = heard;
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] { followPending(); });
}

void AnnouncementListener::followPending()
{
    QElapsedTimer pass;
    pass.start();
    // Asking the system for the host's addresses costs more than reading a
    // datagram; one answer serves the whole pass.
    std::optional<QString> hostAddress;
    const auto ownAddress = [&hostAddress] {
        if (!hostAddress)
            hostAddress = firstIPv4Address();
        return *hostAddress;
    };
    // The budget is looked at only once a datagram was read: a socket that
    // reported readyRead and was not read from never reports again.
    for (bool first = true;
         socket.hasPendingDatagrams() && (first || pass.nsecsElapsed() < kPassBudgetNs);
         first = false) {
        if (const std::optional<Announcement> announcement
            = readAnnouncement(socket, ownAddress, relay.get()))
            followed(*announcement);
    }
    // What is left is reported again on the next turn of the event loop:
    // the socket's notifier stays armed while datagrams are queued.
}

void AnnouncementListener::readPending(QList<Announcement> &heard)
{
    // Asking the system for the host's addresses costs more than reading a
    // datagram; one answer serves what is pending now.
    std::optional<QString> hostAddress;
    const auto ownAddress = [&hostAddress] {
        if (!hostAddress)
            hostAddress = firstIPv4Address();
        return *hostAddress;
    };
    // A flood that never lets the queue empty still leaves the caller its
    // turn, to see the deadline.
    QElapsedTimer reading;
    reading.start();
    while (socket.hasPendingDatagrams() && reading.elapsed() < kWaitSliceMs) {
        const std::optional<Announcement> announcement
            = readAnnouncement(socket, ownAddress, relay.get());
        if (!announcement)
            continue;
        const ModuleAdmission::Decision decision = admission->heard(announcement->hostIp);
        switch (decision.outcome) {
        case ModuleAdmission::Outcome::Known:
            heard[positions.value(announcement->hostIp)] = *announcement;
            break;
        case ModuleAdmission::Outcome::Displacing: {
            const int gone = positions.take(decision.displaced);
            heard.removeAt(gone);
            for (auto position = positions.begin(); position != positions.end(); ++position) {
                if (position.value() > gone)
                    --position.value();
            }
            positions.insert(announcement->hostIp, heard.size());
            heard.append(*announcement);
            break;
        }
        case ModuleAdmission::Outcome::Added:
            positions.insert(announcement->hostIp, heard.size());
            heard.append(*announcement);
            break;
        case ModuleAdmission::Outcome::Waiting:
            break;
        }
    }
}
