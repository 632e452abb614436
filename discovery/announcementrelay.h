#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QTimer>

#include <optional>

class QUdpSocket;

// Shares port 3333's datagrams among the listeners of ours on this host.
//
// Sockets that share the port each get only some of the unicast
// announcements: the system hands each datagram to one of them. A broadcast
// to the loopback network (127.255.255.255) reaches every one of them, so
// each listener greets the others that way, and once it has heard another
// it passes every module announcement it takes from the port on to them in
// one broadcast copy, tagged so that it is never passed on again and
// carrying the module's own address (the host's own announcements are told
// by it). A listener that is alone sends nothing but its greeting, so a
// flood costs it no more than before. Greetings and copies are taken from
// loopback senders only, and copies are as bounded as announcements. Where
// the system does not deliver the loopback broadcast, every listener stays
// alone and takes its share, as it would without the relay.
class AnnouncementRelay
{
public:
    // A datagram the port gave: a module's own, or a copy another listener
    // passed on, with the module's address as sender.
    struct Datagram
    {
        QByteArray payload;
        QHostAddress sender;
        // Where the module sent it; null when the system does not tell.
        QHostAddress destination;
        bool relayed = false;
    };

    static constexpr int kGreetingIntervalMs = 1000;
    // A listener not heard from for this long is taken to have gone.
    static constexpr int kPeerTimeoutMs = 5 * kGreetingIntervalMs;
    // Listeners kept track of at once: a local program cannot grow the table.
    static constexpr int kMaxPeers = 64;

    // `socket` is bound to port 3333; greets at once, then every
    // kGreetingIntervalMs while an event loop runs (greetIfDue otherwise),
    // and says goodbye when destroyed.
    explicit AnnouncementRelay(QUdpSocket &socket);
    ~AnnouncementRelay();
    AnnouncementRelay(const AnnouncementRelay &) = delete;
    AnnouncementRelay &operator=(const AnnouncementRelay &) = delete;

    void greetIfDue();

    // Takes the next datagram off the socket. Relay traffic (greetings, this
    // listener's own copies, anything malformed or not from loopback) and
    // datagrams over kMaxAnnouncementBytes give nothing.
    std::optional<Datagram> read();

    // Passes a module announcement taken from the port on to the other
    // listeners, if there are any. Copies are not passed on again.
    void pass(const Datagram &datagram);

    bool hasPeers() const;

private:
    void greet(char kind);
    void heardFrom(quint64 peer);

    QUdpSocket &socket;
    quint64 id;
    QElapsedTimer clock;
    qint64 lastGreeting = 0;
    // When each other listener was last heard from, on `clock`.
    QHash<quint64, qint64> peers;
    qint64 lastPeerHeard = -kPeerTimeoutMs;
    QTimer greeting;
};
