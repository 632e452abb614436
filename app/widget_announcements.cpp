#include "app/widget.h"

#include "discovery/announcementlistener.h"
#include "upload/thread.h"

#include <QElapsedTimer>
#include <QUdpSocket>

#include <optional>

namespace {
// Refresh ticks a module stays listed after its last announcement; the sweep
// lowers the count and removes the row once it would drop to 1.
constexpr int kLivenessTicks = 5;
constexpr int kLastLiveCount = 1;
// Time one readyRead may spend on datagrams before the event loop gets its
// turn again (a new row costs about half a millisecond); the socket reports
// the rest at once, but paint and timer events go first.
constexpr qint64 kPassBudgetNs = 4000000;
} // namespace

void Widget::processPendingDatagrams()
{
    QElapsedTimer pass;
    pass.start();
    // Asking the system for the host's addresses costs more than reading a
    // datagram; one answer serves the whole pass.
    std::optional<QString> ownAddress;
    const auto hostAddress = [this, &ownAddress] {
        if (!ownAddress)
            ownAddress = localIPv4Address();
        return *ownAddress;
    };
    // The budget is looked at only once a datagram was read: a socket that
    // reported readyRead and was not read from never reports again, and a
    // pass may start late (the process was not scheduled) and still must read.
    for (bool first = true;
         udpSocket->hasPendingDatagrams() && (first || pass.nsecsElapsed() < kPassBudgetNs);
         first = false) {
        const std::optional<Announcement> announcement
            = readAnnouncement(*udpSocket, hostAddress, announcementRelay.get());
        if (!announcement || removingModule)
            continue;
        const QString &ip = announcement->hostIp;
        // A full table takes a module heard in two refresh ticks in place of
        // a row heard in fewer or silent for a tick; a row being uploaded to
        // stays.
        const ModuleAdmission::Decision decision
            = admission.heard(ip, [this](const QString &listed) { return !isUploading(listed); });
        if (!decision.listed())
            continue;
        if (decision.outcome == ModuleAdmission::Outcome::Displacing) {
            removingModule = true;
            participantLeft(decision.displaced);
            removingModule = false;
            moduleLiveness.remove(decision.displaced);
        }

        fillingTable = true;
        addDeviceRow(ip, announcement->dataPort, announcement->atPort, announcement->hostName);
        fillingTable = false;
        lockTableCells();
        // A module the full table had no room for is not counted down either.
        if (moduleRows.contains(ip))
            refreshLiveness(ip);
        else
            admission.remove(ip);
    }
}

bool Widget::isUploading(const QString &ip) const
{
    for (const Thread *thread : uploadWorkers) {
        if (thread->module_ip() == ip && thread->isRunning())
            return true;
    }
    return false;
}

void Widget::refreshLiveness(QString ip)
{
    if (ip.isEmpty())
        return;
    moduleLiveness[ip] = kLivenessTicks;
}

void Widget::sweepLiveness()
{
    // Over a copy of the keys: removing a row raises signals, and nothing a
    // slot does to the map may pull it out from under this walk.
    const QStringList modules = moduleLiveness.keys();
    for (const QString &module : modules) {
        auto entry = moduleLiveness.find(module);
        if (entry == moduleLiveness.end())
            continue;
        const int remaining = entry.value() - 1;
        if (remaining > kLastLiveCount) {
            entry.value() = remaining;
            continue;
        }
        removingModule = true;
        participantLeft(module);
        removingModule = false;
        // Only modules with a row are counted, so the map stays as small as
        // the table.
        moduleLiveness.remove(module);
    }
    // Admission counts in ticks: a module the full table had no room for is
    // remembered for as long as a silent row stays.
    admission.age(kLivenessTicks - kLastLiveCount);
}
