#include "cli/discovery.h"

#include "cli/output.h"
#include "discovery/announcementlistener.h"
#include "platform/consoleinput.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace {
// What a port's protocol is called where an IDE shows it (IDE 1.8 heads its
// Port menu section with it).
const QLatin1String kProtocolLabel("Wi-Fi modules");

QString text(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

QJsonObject portEvent(const char *eventType, const QJsonObject &port)
{
    return QJsonObject { { QStringLiteral("eventType"), text(eventType) },
                         { QStringLiteral("port"), port } };
}
} // namespace

std::optional<QJsonObject> discoveryPort(const Announcement &module)
{
    const std::optional<quint16> dataPort = parsePort(module.dataPort);
    const std::optional<quint16> atPort = parsePort(module.atPort);
    if (!dataPort || !atPort)
        return std::nullopt;
    const Target target { module.hostIp, *dataPort, *atPort, module.hostName };
    // The fields as list --json names them; values are strings, as IDE 1.8's
    // prefs must be.
    const QJsonObject fields { { QStringLiteral("name"), module.hostName },
                               { QStringLiteral("address"), module.hostIp },
                               { QStringLiteral("dataPort"), module.dataPort },
                               { QStringLiteral("atPort"), module.atPort } };
    return QJsonObject {
        { QStringLiteral("address"), target.text() },
        // A name may hold anything; a menu entry shows it escaped.
        { QStringLiteral("label"),
          printable(module.hostName) + QStringLiteral(" (") + module.hostIp + QLatin1Char(')') },
        { QStringLiteral("protocol"), text(kDiscoveryProtocol) },
        { QStringLiteral("protocolLabel"), kProtocolLabel },
        { QStringLiteral("properties"), fields },
        { QStringLiteral("prefs"), fields },
    };
}

DiscoveryProtocol::DiscoveryProtocol(Listening listening)
    : listening(std::move(listening))
{
}

void DiscoveryProtocol::command(const QByteArray &trimmed)
{
    if (current == State::Dead)
        return;
    if (trimmed.split(' ').first() == "HELLO") {
        if (hello(trimmed, current != State::Alive))
            current = State::Idling;
        return;
    }
    // IDE 1.8 starts with START_SYNC and never says HELLO: any other first
    // command is taken as if "HELLO 1" had come before it.
    if (current == State::Alive)
        current = State::Idling;

    if (trimmed == "QUIT") {
        stopListening();
        reply("quit");
        current = State::Dead;
    } else if (trimmed == "START") {
        if (current == State::Running)
            reply("start", QStringLiteral("already started"));
        else if (current == State::Syncing)
            reply("start", QStringLiteral("already in START_SYNC mode: STOP first"));
        else if (startListening("start"))
            current = State::Running;
    } else if (trimmed == "START_SYNC") {
        if (current == State::Syncing)
            reply("start_sync", QStringLiteral("already in START_SYNC mode"));
        else if (current == State::Running)
            reply("start_sync", QStringLiteral("already started: STOP first"));
        else if (startListening("start_sync"))
            current = State::Syncing;
    } else if (trimmed == "LIST") {
        if (current == State::Running)
            send(listedPorts());
        else if (current == State::Syncing)
            reply("list", QStringLiteral("LIST is not available in START_SYNC mode"));
        else
            reply("list", QStringLiteral("not started: START first"));
    } else if (trimmed == "STOP") {
        if (current == State::Running || current == State::Syncing) {
            stopListening();
            reply("stop");
            current = State::Idling;
        } else {
            reply("stop", QStringLiteral("not started"));
        }
    } else {
        unknownCommand(trimmed);
    }
}

bool DiscoveryProtocol::startListening(const char *eventType)
{
    QString error;
    if (listening.start && !listening.start(&error)) {
        reply(eventType, error);
        return false;
    }
    present.clear();
    told.clear();
    reply(eventType);
    return true;
}

void DiscoveryProtocol::stopListening()
{
    if ((current == State::Running || current == State::Syncing) && listening.stop)
        listening.stop();
    present.clear();
    told.clear();
}

void DiscoveryProtocol::moduleHeard(const Announcement &module)
{
    if (current != State::Running && current != State::Syncing)
        return;
    if (const std::optional<QJsonObject> port = discoveryPort(module))
        present.insert(module.hostIp, *port);
    else
        present.remove(module.hostIp);
}

void DiscoveryProtocol::moduleGone(const QString &hostIp)
{
    present.remove(hostIp);
}

QJsonObject DiscoveryProtocol::listedPorts() const
{
    QJsonArray ports;
    for (const QJsonObject &port : present)
        ports.append(port);
    return QJsonObject { { QStringLiteral("eventType"), text("list") },
                         { QStringLiteral("ports"), ports } };
}

std::optional<QByteArray> DiscoveryProtocol::nextEvent()
{
    if (current != State::Syncing)
        return std::nullopt;
    const QString addressKey = QStringLiteral("address");
    // A module gone, or at another address now: its old port goes first.
    for (auto port = told.begin(); port != told.end(); ++port) {
        const auto now = present.constFind(port.key());
        if (now != present.constEnd() && now->value(addressKey) == port->value(addressKey))
            continue;
        const QJsonObject gone { { addressKey, port->value(addressKey) },
                                 { QStringLiteral("protocol"), text(kDiscoveryProtocol) } };
        told.erase(port);
        return jsonLine(portEvent("remove", gone));
    }
    // A new module, or new values (a new name): an add replaces the port.
    for (auto port = present.constBegin(); port != present.constEnd(); ++port) {
        const auto known = told.constFind(port.key());
        if (known != told.constEnd() && *known == *port)
            continue;
        told.insert(port.key(), *port);
        return jsonLine(portEvent("add", *port));
    }
    return std::nullopt;
}

std::optional<QByteArray> DiscoveryProtocol::takeOutput()
{
    if (std::optional<QByteArray> reply = ToolProtocol::takeOutput())
        return reply;
    return nextEvent();
}

bool DiscoveryProtocol::hasOutput() const
{
    if (ToolProtocol::hasOutput())
        return true;
    if (current != State::Syncing)
        return false;
    return told != present;
}

ModuleAdmission::Decision ModuleLiveness::heard(const QString &hostIp)
{
    const ModuleAdmission::Decision decision = admission.heard(hostIp);
    if (decision.outcome == ModuleAdmission::Outcome::Displacing)
        countdown.remove(decision.displaced);
    if (decision.listed())
        countdown.insert(hostIp, kTicksHeard);
    return decision;
}

QStringList ModuleLiveness::tick()
{
    QStringList gone;
    for (auto module = countdown.begin(); module != countdown.end();) {
        const int remaining = module.value() - 1;
        if (remaining > kLastLiveCount) {
            module.value() = remaining;
            ++module;
            continue;
        }
        gone << module.key();
        admission.remove(module.key());
        module = countdown.erase(module);
    }
    // A module heard once while the list was full counts as heard again
    // only within the time a silent module stays.
    admission.age(kTicksHeard - kLastLiveCount);
    return gone;
}

namespace {
// The protocol as the standard input and output of a process. The replies
// and events are written on a thread of their own, so that a client slow to
// read them holds up neither its commands nor the announcements.
class DiscoveryProcess
{
public:
    DiscoveryProcess();
    int run();

private:
    struct Shared
    {
        explicit Shared(DiscoveryProtocol::Listening listening)
            : protocol(std::move(listening))
        {
        }
        std::mutex mutex;
        std::condition_variable wake;
        DiscoveryProtocol protocol;
        bool closing = false;
        bool writing = false;
    };

    // Runs `change` on the protocol and has the writer look at its output.
    template<typename Change> void update(Change change)
    {
        {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            change(shared->protocol);
        }
        shared->wake.notify_one();
    }
    bool startListening(QString *error);
    void stopListening();
    void heard(const Announcement &module);
    void tick();
    static void write(const std::shared_ptr<Shared> &shared);

    std::shared_ptr<Shared> shared;
    std::unique_ptr<AnnouncementListener> listener;
    std::unique_ptr<ModuleLiveness> liveness;
    QTimer ticks;
};

DiscoveryProcess::DiscoveryProcess()
    : shared(std::make_shared<Shared>(DiscoveryProtocol::Listening {
        [this](QString *error) { return startListening(error); }, [this] { stopListening(); } }))
{
    ticks.setInterval(ModuleLiveness::kTickMs);
    QObject::connect(&ticks, &QTimer::timeout, [this] { tick(); });
}

bool DiscoveryProcess::startListening(QString *error)
{
    listener = std::make_unique<AnnouncementListener>();
    if (!listener->bind(error)) {
        listener.reset();
        return false;
    }
    liveness = std::make_unique<ModuleLiveness>();
    listener->follow([this](const Announcement &module) { heard(module); });
    ticks.start();
    return true;
}

void DiscoveryProcess::stopListening()
{
    ticks.stop();
    listener.reset();
    liveness.reset();
}

void DiscoveryProcess::heard(const Announcement &module)
{
    if (!liveness)
        return;
    const ModuleAdmission::Decision decision = liveness->heard(module.hostIp);
    update([&](DiscoveryProtocol &protocol) {
        if (decision.outcome == ModuleAdmission::Outcome::Displacing)
            protocol.moduleGone(decision.displaced);
        if (decision.listed())
            protocol.moduleHeard(module);
    });
}

void DiscoveryProcess::tick()
{
    if (!liveness)
        return;
    const QStringList gone = liveness->tick();
    if (gone.isEmpty())
        return;
    update([&](DiscoveryProtocol &protocol) {
        for (const QString &hostIp : gone)
            protocol.moduleGone(hostIp);
    });
}

void DiscoveryProcess::write(const std::shared_ptr<Shared> &shared)
{
    const auto quit = [] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
    };
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (true) {
        shared->wake.wait(lock, [&] {
            return shared->closing || shared->protocol.hasOutput() || shared->protocol.finished();
        });
        if (shared->closing)
            return;
        const std::optional<QByteArray> line = shared->protocol.takeOutput();
        if (!line) {
            // QUIT answered: the discovery exits.
            quit();
            return;
        }
        shared->writing = true;
        lock.unlock();
        const bool written = std::fwrite(line->constData(), 1, size_t(line->size()), stdout)
                == size_t(line->size())
            && std::fflush(stdout) == 0;
        lock.lock();
        shared->writing = false;
        if (!written) {
            // The client is gone.
            quit();
            return;
        }
    }
}

int DiscoveryProcess::run()
{
    StandardInput input;
    QObject::connect(&input, &StandardInput::received, [this](const QByteArray &bytes) {
        update([&](DiscoveryProtocol &protocol) { protocol.receive(bytes); });
    });
    // The client closed its end: nobody is left to answer.
    QObject::connect(&input, &StandardInput::ended, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    std::thread writer(write, shared);
    input.start();
    QCoreApplication::exec();

    stopListening();
    bool stuck = false;
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->closing = true;
        stuck = shared->writing;
    }
    shared->wake.notify_one();
    if (stuck) {
        // A client that closed its commands but never reads: the write may
        // never return, and exit() would wait on the stream it holds.
        writer.detach();
        std::_Exit(kExitSuccess);
    }
    writer.join();
    return kExitSuccess;
}
} // namespace

int runDiscovery(const Options &)
{
    DiscoveryProcess process;
    return process.run();
}

const CommandEntry kDiscoveryCommand {
    Command::Discovery,
    "discovery",
    "list the modules for the Arduino IDE (the IDE starts it)",
    QStringLiteral(R"text(Usage: rudireze-cli discovery

A pluggable discovery tool for the Arduino IDE and arduino-cli, which start
it themselves (platform.txt names it): it reads the discovery protocol's
commands (HELLO, START, LIST, START_SYNC, STOP, QUIT) on standard input and
answers in JSON on standard output. Every module announcing itself on UDP
port %1 is a port of protocol "%2" with the address IP:DATAPORT:ATPORT
that upload takes, labelled "NAME (IP)"; a module that falls silent is
removed 6 to 8 s later, as the window removes its row. A first command other
than HELLO is taken as if "HELLO 1" had come first (IDE 1.8 sends none).

)text")
        .arg(kAnnouncementPort)
        .arg(QLatin1String(kDiscoveryProtocol)),
    14,
    { verboseRow(), helpRow() },
    QLatin1String(kToolExitStatusHelp) + QLatin1String(kExitUsageHelp),
    noPositionals,
    nullptr,
    runDiscovery,
};
