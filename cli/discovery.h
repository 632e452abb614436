#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"
#include "cli/toolprotocol.h"
#include "discovery/announcement.h"
#include "discovery/moduleadmission.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// rudireze-cli discovery: the modules as ports of an IDE, over the pluggable
// discovery protocol (version 1) on standard input and output.
extern const CommandEntry kDiscoveryCommand;
int runDiscovery(const Options &options);

// The protocol name the ports carry; platform.txt's upload and monitor
// recipes are chosen by it.
constexpr char kDiscoveryProtocol[] = "rudireze";

// A module as a port: address IP:DATAPORT:ATPORT (what upload takes), label
// "NAME (IP)", and the announced fields both as "properties" (IDE 2.x,
// arduino-cli) and as "prefs" (IDE 1.8, which reads no "properties"). A
// module whose ports are not port numbers cannot be uploaded to and is no
// port at all.
std::optional<QJsonObject> discoveryPort(const Announcement &module);

// The pluggable discovery protocol without its I/O: commands go in as the
// client's bytes, replies and events come out one JSON line at a time, in
// the order the client must see them. Ports are kept as a set: while
// syncing, what is sent next is the difference between the modules present
// now and what the client was told, so a client that reads slowly costs no
// more memory than the ports themselves, and never sees a port come and go
// that it could not have used.
class DiscoveryProtocol : public ToolProtocol
{
public:
    // HELLO takes the discovery to Idling; START to Running (LIST answers
    // there), START_SYNC to Syncing (add and remove events); STOP back to
    // Idling; QUIT from anywhere to Dead.
    enum class State { Alive, Idling, Running, Syncing, Dead };

    // Starts listening for modules (false with the reason when it cannot),
    // and stops it again.
    struct Listening
    {
        std::function<bool(QString *error)> start;
        std::function<void()> stop;
    };

    explicit DiscoveryProtocol(Listening listening);

    void command(const QByteArray &line) override;

    // A module announced itself (again), or fell silent; ignored while not
    // listening.
    void moduleHeard(const Announcement &module);
    void moduleGone(const QString &hostIp);

    // Replies first; then, while syncing, what the client was not yet told.
    std::optional<QByteArray> takeOutput() override;
    bool hasOutput() const override;

    State state() const { return current; }
    // Dead, and the QUIT reply taken.
    bool finished() const { return current == State::Dead && replies.empty(); }

private:
    bool startListening(const char *eventType);
    void stopListening();
    QJsonObject listedPorts() const;
    std::optional<QByteArray> nextEvent();

    Listening listening;
    State current = State::Alive;
    // By module address: the ports present, and what the client was told.
    QMap<QString, QJsonObject> present;
    QMap<QString, QJsonObject> told;
};

// The window's liveness rule for a listener without a window: a module stays
// a port until the fourth tick (every kTickMs) after its last announcement,
// 6 to 8 seconds of silence; the list is bounded by ModuleAdmission as the
// window's table is.
class ModuleLiveness
{
public:
    static constexpr int kTickMs = 2000;

    // The module's announcement: whether it is listed now, and which listed
    // module (if any) it took the place of.
    ModuleAdmission::Decision heard(const QString &hostIp);
    // One tick: the modules that fell silent, which are no longer listed.
    QStringList tick();

private:
    static constexpr int kTicksHeard = 5;
    static constexpr int kLastLiveCount = 1;

    QMap<QString, int> countdown;
    ModuleAdmission admission;
};
