#include "discovery/announcementrelay.h"

#include "common/names.h"
#include "discovery/announcement.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

#include <cstring>

namespace {
// Every relay datagram starts with these bytes, which no announcement (an
// object literal) does, then a kind and the sending listener's id.
const char kMagic[] = "\x7fRDZ1";
constexpr int kMagicBytes = sizeof(kMagic) - 1;
constexpr char kHello = 'H';
constexpr char kGoodbye = 'B';
// A copy: the module's address as 16 bytes (IPv4 mapped), then its payload.
constexpr char kCopy = 'C';
constexpr int kIdBytes = 8;
constexpr int kHeaderBytes = kMagicBytes + 1 + kIdBytes;
constexpr int kAddressBytes = 16;
constexpr int kMaxRelayBytes = kHeaderBytes + kAddressBytes + kMaxAnnouncementBytes;

const QHostAddress &loopbackBroadcast()
{
    static const QHostAddress address(QStringLiteral("127.255.255.255"));
    return address;
}

bool isLoopback(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).isLoopback() : address.isLoopback();
}

// Whether every listener got the datagram itself: then no copy is needed.
bool reachedEveryListener(const QHostAddress &destination)
{
    bool isIPv4 = false;
    const quint32 ipv4 = destination.toIPv4Address(&isIPv4);
    const QHostAddress address = isIPv4 ? QHostAddress(ipv4) : destination;
    return address.isBroadcast() || address.isMulticast() || address == loopbackBroadcast();
}
} // namespace

AnnouncementRelay::AnnouncementRelay(QUdpSocket &socket)
    : socket(socket)
    , id(QRandomGenerator::system()->generate64())
{
    clock.start();
    greet(kHello);
    greeting.setInterval(kGreetingIntervalMs);
    QObject::connect(&greeting, &QTimer::timeout, [this] { greetIfDue(); });
    greeting.start();
}

AnnouncementRelay::~AnnouncementRelay()
{
    greet(kGoodbye);
}

void AnnouncementRelay::greetIfDue()
{
    const qint64 now = clock.elapsed();
    if (now - lastGreeting < kGreetingIntervalMs)
        return;
    greet(kHello);
    for (auto peer = peers.begin(); peer != peers.end();) {
        if (now - peer.value() >= kPeerTimeoutMs)
            peer = peers.erase(peer);
        else
            ++peer;
    }
}

bool AnnouncementRelay::hasPeers() const
{
    return !peers.isEmpty() && clock.elapsed() - lastPeerHeard < kPeerTimeoutMs;
}

void AnnouncementRelay::greet(char kind)
{
    lastGreeting = clock.elapsed();
    QByteArray datagram(kMagic, kMagicBytes);
    datagram.append(kind);
    datagram.resize(kHeaderBytes);
    qToBigEndian(id, datagram.data() + kMagicBytes + 1);
    socket.writeDatagram(datagram, loopbackBroadcast(), kAnnouncementPort);
}

void AnnouncementRelay::heardFrom(quint64 peer)
{
    const qint64 now = clock.elapsed();
    auto known = peers.find(peer);
    if (known != peers.end()) {
        known.value() = now;
        lastPeerHeard = now;
        return;
    }
    if (peers.size() >= kMaxPeers)
        return;
    peers.insert(peer, now);
    lastPeerHeard = now;
    // The newcomer learns of this listener at once, not a second later.
    greet(kHello);
}

std::optional<AnnouncementRelay::Datagram> AnnouncementRelay::read()
{
    const qint64 size = socket.pendingDatagramSize();
    if (size > kMaxRelayBytes) {
        socket.readDatagram(nullptr, 0);
        return std::nullopt;
    }
    const QNetworkDatagram received = socket.receiveDatagram(qMax<qint64>(size, 0));
    Datagram datagram { received.data(), received.senderAddress(), received.destinationAddress() };
    if (!datagram.payload.startsWith(QByteArray::fromRawData(kMagic, kMagicBytes))) {
        if (datagram.payload.size() > kMaxAnnouncementBytes)
            return std::nullopt;
        return datagram;
    }
    if (datagram.payload.size() < kHeaderBytes || !isLoopback(datagram.sender))
        return std::nullopt;
    const char *header = datagram.payload.constData();
    const char kind = header[kMagicBytes];
    const quint64 sender = qFromBigEndian<quint64>(header + kMagicBytes + 1);
    if (sender == id)
        return std::nullopt;
    switch (kind) {
    case kHello:
        heardFrom(sender);
        return std::nullopt;
    case kGoodbye:
        peers.remove(sender);
        return std::nullopt;
    case kCopy: {
        if (datagram.payload.size() < kHeaderBytes + kAddressBytes)
            return std::nullopt;
        heardFrom(sender);
        Q_IPV6ADDR module;
        std::memcpy(module.c, header + kHeaderBytes, kAddressBytes);
        Datagram copy;
        copy.sender = QHostAddress(module);
        copy.payload = datagram.payload.mid(kHeaderBytes + kAddressBytes);
        copy.relayed = true;
        return copy;
    }
    default:
        return std::nullopt;
    }
}

void AnnouncementRelay::pass(const Datagram &datagram)
{
    if (datagram.relayed || !hasPeers() || reachedEveryListener(datagram.destination))
        return;
    QByteArray copy(kMagic, kMagicBytes);
    copy.append(kCopy);
    copy.resize(kHeaderBytes);
    qToBigEndian(id, copy.data() + kMagicBytes + 1);
    bool isIPv4 = false;
    const quint32 ipv4 = datagram.sender.toIPv4Address(&isIPv4);
    Q_IPV6ADDR module = datagram.sender.toIPv6Address();
    if (isIPv4) {
        // ::ffff:a.b.c.d
        std::memset(module.c, 0, kAddressBytes);
        module.c[10] = module.c[11] = 0xff;
        qToBigEndian(ipv4, module.c + 12);
    }
    copy.append(reinterpret_cast<const char *>(module.c), kAddressBytes);
    copy.append(datagram.payload);
    socket.writeDatagram(copy, loopbackBroadcast(), kAnnouncementPort);
}
