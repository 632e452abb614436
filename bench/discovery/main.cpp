// Discovery throughput: the announcement reader alone, a fresh script engine
// per datagram as the reference, and announcements from many loopback senders
// handled end to end by the window, with the longest pause in its repainting.
// Then floods of made-up modules at 1,000, 5,000 and 20,000 datagrams a
// second, each address sent once, 3 or 40 times in a row: how long until the
// window and the command line's list (its AnnouncementListener) list a
// genuine module that announces itself once a second, against a 3 s goal, and
// whether a module listed before stays listed through the flood.

#include "common/names.h"
#include "discovery/announcement.h"
#include "discovery/announcementlistener.h"
#include "discovery/objectliteral.h"
#include "widgetprobe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QScriptEngine>
#include <QScriptValueIterator>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace {
constexpr double kGoalPerSecond = 20000; // announcements parsed per second
constexpr qint64 kMinMeasureNs = 1000000000; // each rate is measured for at least 1 s
constexpr int kCorpusSize = 1000;
constexpr int kVariants = 3;
constexpr int kFloodSenders = 200;
constexpr int kSustainedSenders = 50;
constexpr int kSenderThreads = 2;
constexpr int kBurstDatagrams = 10000;
constexpr int kSustainedDatagrams = 80000; // two seconds at twice the goal
constexpr int kFrameIntervalMs = 16;
constexpr int kDrainPollMs = 1;
constexpr int kBurstTimeoutMs = 60000;
constexpr int kLargestDatagram = 65507;
constexpr int kHostsPerOctet = 250;
constexpr int kFirstSenderHost = 2;
constexpr double kNsPerSecond = 1e9;
constexpr double kNsPerMs = 1e6;
// The genuine module under floods of made-up modules.
constexpr int kGenuineIntervalMs = 1000;
constexpr double kListedGoalSeconds = 3.0;
// The flood runs this long before the genuine module starts: the table is
// full and its rows come and go.
constexpr int kFloodFillMs = 8000;
constexpr int kListedLimitMs = 12000;
constexpr int kGenuineTrials = 2;
// How long list keeps listening once the genuine module is listed, watching
// whether it stays.
constexpr int kListStayMs = 5000;
constexpr int kFloodSliceMs = 10;
constexpr int kPollMs = 5;
// The window's refresh tick, which sweeps silent rows out.
constexpr int kSweepIntervalMs = 2000;
constexpr double kKbPerMb = 1024.0;
struct FloodKind
{
    int perSecond;
    int repeats; // datagrams in a row per made-up address
};
constexpr FloodKind kFloods[]
    = { { 1000, 1 },  { 1000, 3 },  { 1000, 40 }, { 5000, 1 },  { 5000, 3 },
        { 5000, 40 }, { 20000, 1 }, { 20000, 3 }, { 20000, 40 } };
const char kFloodSender[] = "127.0.0.2";

QString senderAddress(int n)
{
    return QStringLiteral("127.0.%1.%2")
        .arg(n / kHostsPerOctet)
        .arg(kFirstSenderHost + n % kHostsPerOctet);
}

// Announcements in the spellings modules use: JSON, single quotes, numbers
// for ports, the keys in other orders, keys of no meaning.
QByteArray announcement(int sender, int variant)
{
    const QString ip = senderAddress(sender);
    switch (variant % kVariants) {
    case 0:
        return QStringLiteral("{\"host ip\":\"%1\",\"data port\":\"8000\",\"atcomd port\":\"8001\","
                              "\"hostname\":\"corvane-%2\"}")
            .arg(ip)
            .arg(sender)
            .toUtf8();
    case 1:
        return QStringLiteral("{'host ip':'%1', 'data port':8000, 'atcomd port':8001, "
                              "hostname:'bench %2'}")
            .arg(ip)
            .arg(sender)
            .toUtf8();
    default:
        return QStringLiteral("{\"hostname\":\"lab-%2\",\"atcomd port\":8001,\"host ip\":\"%1\","
                              "\"data port\":8000,\"fw\":\"1.2.3\",\"rssi\":-61.5,\"up\":true}")
            .arg(ip)
            .arg(sender)
            .toUtf8();
    }
}

std::vector<QByteArray> corpus()
{
    std::vector<QByteArray> payloads;
    for (int i = 0; i < kCorpusSize; ++i)
        payloads.push_back(announcement(i % kFloodSenders, i));
    return payloads;
}

// Every sender's announcements in all spellings: [sender][variant].
std::vector<std::vector<QByteArray>> senderPayloads(int senders)
{
    std::vector<std::vector<QByteArray>> payloads(static_cast<std::size_t>(senders));
    for (int s = 0; s < senders; ++s) {
        for (int v = 0; v < kVariants; ++v)
            payloads[std::size_t(s)].push_back(announcement(s, v));
    }
    return payloads;
}

// Runs `parse` over the corpus again and again for at least kMinMeasureNs;
// returns payloads per second.
template<typename Parse>
double rate(const std::vector<QByteArray> &payloads, Parse parse, int *accepted)
{
    QElapsedTimer clock;
    clock.start();
    qint64 count = 0;
    *accepted = 0;
    while (clock.nsecsElapsed() < kMinMeasureNs) {
        for (const QByteArray &payload : payloads)
            *accepted += parse(payload) ? 1 : 0;
        count += qint64(payloads.size());
    }
    return double(count) * kNsPerSecond / double(clock.nsecsElapsed());
}

// The reference: a fresh script engine per datagram evaluating "value = " + payload.
bool engineParse(const QByteArray &payload)
{
    QScriptEngine engine;
    const QScriptValue value
        = engine.evaluate(QStringLiteral("value = ") + announcementText(payload), QString(), 1);
    QString hostIp;
    QScriptValueIterator it(value);
    while (it.hasNext()) {
        it.next();
        if (it.name() == QLatin1String("host ip"))
            hostIp = it.value().toString();
    }
    return !hostIp.isEmpty();
}

// Datagrams the kernel dropped because the socket's queue was full, from the
// socket's line in /proc/net/udp6 (the window listens on the any-address of
// both protocols) or /proc/net/udp; -1 where that cannot be read.
qint64 kernelDrops(qintptr descriptor)
{
    struct stat status
    {
    };
    if (fstat(int(descriptor), &status) != 0)
        return -1;
    const QByteArray inode = QByteArray::number(quint64(status.st_ino));
    constexpr int kInodeField = 9;
    for (const char *path : { "/proc/net/udp6", "/proc/net/udp" }) {
        QFile table { QString::fromLatin1(path) };
        if (!table.open(QIODevice::ReadOnly))
            continue;
        // The size of a /proc file reads as 0: read it to the end in one go.
        const QList<QByteArray> lines = table.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > kInodeField && fields.at(kInodeField) == inode)
                return fields.last().toLongLong();
        }
    }
    return -1;
}

// Records when the table's viewport paints and when the frame timer fires;
// the timer asks for a repaint on every tick, as an animation would.
class PaintRecorder : public QObject
{
public:
    explicit PaintRecorder(QWidget *viewport)
        : viewport(viewport)
    {
        viewport->installEventFilter(this);
        clock.start();
        QObject::connect(&frames, &QTimer::timeout, [this] {
            ticks.push_back(clock.nsecsElapsed());
            this->viewport->update();
        });
        frames.start(kFrameIntervalMs);
    }

    // Longest gap between consecutive events inside [from, to], in ms.
    static double longestGap(const std::vector<qint64> &times, qint64 from, qint64 to, int *count)
    {
        qint64 previous = from;
        qint64 longest = 0;
        *count = 0;
        for (qint64 time : times) {
            if (time < from || time > to)
                continue;
            longest = qMax(longest, time - previous);
            previous = time;
            ++*count;
        }
        longest = qMax(longest, to - previous);
        return double(longest) / kNsPerMs;
    }

    QElapsedTimer clock;
    std::vector<qint64> paints;
    std::vector<qint64> ticks;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == viewport && event->type() == QEvent::Paint)
            paints.push_back(clock.nsecsElapsed());
        return false;
    }

private:
    QWidget *viewport;
    QTimer frames;
};

struct BurstResult
{
    int sent = 0;
    qint64 dropped = -1;
    int handled = 0;
    double seconds = 0;
    double longestPaintGapMs = 0;
    double longestTickGapMs = 0;
    int paints = 0;
    int ticks = 0;
};

// Sends `datagrams` announcements round robin from `senders` loopback senders
// on kSenderThreads threads, as fast as they go (perSecond 0) or at
// `perSecond` in all, and runs the window's event loop until every sender is
// done and the window's socket is empty.
BurstResult burst(WidgetProbe &probe, PaintRecorder &recorder, int senders, int datagrams,
                  double perSecond)
{
    const std::vector<std::vector<QByteArray>> payloads = senderPayloads(senders);
    QUdpSocket *socket = probe.udpSocket();
    const qint64 dropsBefore = kernelDrops(socket->socketDescriptor());

    std::vector<std::unique_ptr<QThread>> threads;
    QAtomicInt sent = 0;
    for (int t = 0; t < kSenderThreads; ++t) {
        threads.emplace_back(QThread::create([t, &payloads, &sent, senders, datagrams, perSecond] {
            std::vector<std::unique_ptr<QUdpSocket>> sockets;
            for (int s = t; s < senders; s += kSenderThreads) {
                sockets.push_back(std::make_unique<QUdpSocket>());
                sockets.back()->bind(QHostAddress(senderAddress(s)), 0);
            }
            const QHostAddress window(QHostAddress::LocalHost);
            const double perThreadNs
                = perSecond > 0 ? kNsPerSecond * kSenderThreads / perSecond : 0;
            QElapsedTimer clock;
            clock.start();
            qint64 count = 0;
            for (int i = t; i < datagrams; i += kSenderThreads, ++count) {
                if (perThreadNs > 0) {
                    const qint64 due = qint64(double(count) * perThreadNs);
                    const qint64 ahead = due - clock.nsecsElapsed();
                    if (ahead > 0)
                        QThread::usleep(quint64(ahead / 1000));
                }
                // With an even number of senders, thread t serves the senders t, t + 2, ...
                const int sender = i % senders;
                const int variant = i / senders % kVariants;
                const QByteArray &payload = payloads[std::size_t(sender)][std::size_t(variant)];
                QUdpSocket &from = *sockets[std::size_t(sender / kSenderThreads)];
                if (from.writeDatagram(payload, window, kAnnouncementPort) == payload.size())
                    sent.fetchAndAddRelaxed(1);
            }
        }));
    }

    const qint64 start = recorder.clock.nsecsElapsed();
    for (auto &thread : threads)
        thread->start();
    QTimer drained;
    QElapsedTimer limit;
    limit.start();
    QObject::connect(&drained, &QTimer::timeout, [&] {
        bool finished = true;
        for (auto &thread : threads)
            finished = finished && thread->isFinished();
        if ((finished && !socket->hasPendingDatagrams()) || limit.elapsed() > kBurstTimeoutMs)
            QCoreApplication::exit(0);
    });
    drained.start(kDrainPollMs);
    QApplication::exec();
    const qint64 end = recorder.clock.nsecsElapsed();
    for (auto &thread : threads)
        thread->wait();

    BurstResult result;
    result.sent = sent.loadRelaxed();
    const qint64 dropsAfter = kernelDrops(socket->socketDescriptor());
    result.dropped = dropsBefore < 0 || dropsAfter < 0 ? -1 : dropsAfter - dropsBefore;
    result.handled = result.sent - int(qMax<qint64>(result.dropped, 0));
    result.seconds = double(end - start) / kNsPerSecond;
    result.longestPaintGapMs
        = PaintRecorder::longestGap(recorder.paints, start, end, &result.paints);
    result.longestTickGapMs = PaintRecorder::longestGap(recorder.ticks, start, end, &result.ticks);
    return result;
}

void report(const BurstResult &result)
{
    const double perSecond = double(result.handled) / result.seconds;
    std::printf("  sent %d, dropped by the kernel %lld, handled %d in %.3f s = %.0f announcements/s"
                " = %.2f x the goal\n",
                result.sent, static_cast<long long>(result.dropped), result.handled, result.seconds,
                perSecond, perSecond / kGoalPerSecond);
    std::printf("  repainting: %d paints, longest gap %.1f ms = %.2f x the %d ms frame timer;"
                " %d timer ticks, longest gap %.1f ms\n",
                result.paints, result.longestPaintGapMs,
                result.longestPaintGapMs / kFrameIntervalMs, kFrameIntervalMs, result.ticks,
                result.longestTickGapMs);
}

// `perSecond` datagrams a second of made-up modules (10.x.y.z, counted up),
// each address `repeats` times in a row; the resident module's announcement
// every kGenuineIntervalMs from the start; and, once given an address, the
// genuine module's, the first at once. On a thread.
class Flood
{
public:
    Flood(FloodKind kind, const QString &resident)
        : kind(kind)
        , resident(resident)
    {
        thread.reset(QThread::create([this] { run(); }));
        thread->start();
    }
    ~Flood()
    {
        stopping = true;
        thread->wait();
    }
    void startFakes() { fakes = true; }
    // Announces this module from now on; an empty address stops it. Returns
    // when its first announcement was sent.
    QElapsedTimer announceGenuine(const QString &address)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            genuine = address;
            genuineSent = false;
        }
        QElapsedTimer first;
        while (!genuineSent.load() && !address.isEmpty())
            QThread::usleep(100);
        first.start();
        return first;
    }

private:
    static QByteArray payload(const QString &address, const QString &name)
    {
        return QStringLiteral("{\"host ip\":\"%1\",\"data port\":\"8000\",\"atcomd port\":"
                              "\"8001\",\"hostname\":\"%2\"}")
            .arg(address, name)
            .toUtf8();
    }

    void run()
    {
        QUdpSocket socket;
        socket.bind(QHostAddress(QLatin1String(kFloodSender)), 0);
        const QHostAddress window(QHostAddress::LocalHost);
        const int perSlice = kind.perSecond * kFloodSliceMs / 1000;
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer sinceGenuine;
        QElapsedTimer sinceResident;
        QString announced;
        for (qint64 slice = 0, next = 0; !stopping.load(); ++slice) {
            for (int i = 0; fakes.load() && i < perSlice; ++i, ++next) {
                const qint64 n = next / kind.repeats;
                const QString address = QStringLiteral("10.%1.%2.%3")
                                            .arg((n >> 16) & 0xFF)
                                            .arg((n >> 8) & 0xFF)
                                            .arg(n & 0xFF);
                socket.writeDatagram(payload(address, QStringLiteral("fake")), window,
                                     kAnnouncementPort);
            }
            if (!sinceResident.isValid() || sinceResident.elapsed() >= kGenuineIntervalMs) {
                socket.writeDatagram(payload(resident, QStringLiteral("resident")), window,
                                     kAnnouncementPort);
                sinceResident.start();
            }
            QString address;
            {
                std::lock_guard<std::mutex> lock(mutex);
                address = genuine;
            }
            if (address != announced
                || (!address.isEmpty() && sinceGenuine.elapsed() >= kGenuineIntervalMs)) {
                announced = address;
                if (!address.isEmpty()) {
                    socket.writeDatagram(payload(address, QStringLiteral("genuine")), window,
                                         kAnnouncementPort);
                    sinceGenuine.start();
                    genuineSent = true;
                }
            }
            const qint64 ahead = (slice + 1) * kFloodSliceMs - clock.elapsed();
            if (ahead > 0)
                QThread::msleep(ulong(ahead));
        }
    }

    FloodKind kind;
    QString resident;
    std::unique_ptr<QThread> thread;
    std::atomic<bool> stopping { false };
    std::atomic<bool> fakes { false };
    std::atomic<bool> genuineSent { false };
    std::mutex mutex;
    QString genuine;
};

QString genuineAddress(int trial)
{
    return QStringLiteral("10.250.0.%1").arg(trial + 1);
}

const QString kResident = QStringLiteral("10.251.0.1");

// Runs the event loop until `done` says so (asked every kPollMs) or for
// `limitMs`; false when the limit ended it.
template<typename Done> bool runUntil(int limitMs, Done done)
{
    QElapsedTimer limit;
    limit.start();
    QTimer poll;
    bool met = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        met = done();
        if (met || limit.elapsed() > limitMs)
            QCoreApplication::exit(0);
    });
    poll.start(kPollMs);
    QApplication::exec();
    return met;
}

struct Listing
{
    double seconds = -1; // longest of the trials; -1 when one was not listed in time
    bool residentStayed = true;
};

// The window: the resident module listed first, then the flood; seconds from
// a genuine module's first announcement until its row shows.
Listing windowListing(FloodKind kind)
{
    Widget window;
    WidgetProbe probe(window);
    probe.hexTimer()->stop();
    QTimer sweeps;
    QObject::connect(&sweeps, &QTimer::timeout, [&probe] { probe.sweepLiveness(); });
    sweeps.start(kSweepIntervalMs);
    QTableWidget *table = probe.ui().userTableWidget;
    const auto listed = [table](const QString &address) {
        return !table->findItems(address, Qt::MatchExactly).isEmpty();
    };
    Listing result;
    const qint64 dropsBefore = kernelDrops(probe.udpSocket()->socketDescriptor());
    Flood flood(kind, kResident);
    if (!runUntil(kListedLimitMs, [&] { return listed(kResident); }))
        return { -1, false };
    flood.startFakes();
    runUntil(kFloodFillMs, [&] {
        result.residentStayed = result.residentStayed && listed(kResident);
        return false;
    });
    double longest = 0;
    for (int trial = 0; trial < kGenuineTrials; ++trial) {
        const QString address = genuineAddress(trial);
        const QElapsedTimer since = flood.announceGenuine(address);
        const bool shown = runUntil(kListedLimitMs, [&] {
            result.residentStayed = result.residentStayed && listed(kResident);
            return listed(address);
        });
        const double seconds = since.elapsed() / 1000.0;
        flood.announceGenuine(QString());
        std::printf("    window, trial %d: %d rows, listed after %.2f s; the kernel dropped %lld "
                    "datagrams so far\n",
                    trial + 1, table->rowCount(), shown ? seconds : -1.0,
                    static_cast<long long>(kernelDrops(probe.udpSocket()->socketDescriptor())
                                           - dropsBefore));
        if (!shown)
            longest = -1;
        else if (longest >= 0)
            longest = qMax(longest, seconds);
    }
    result.seconds = longest;
    return result;
}

// The same for list's listener, listening from before the flood fills it;
// once the genuine module is listed it listens on for kListStayMs and the
// module must stay.
Listing listListing(FloodKind kind)
{
    Listing result;
    double longest = 0;
    Flood flood(kind, kResident);
    flood.startFakes();
    for (int trial = 0; trial < kGenuineTrials; ++trial) {
        AnnouncementListener listener;
        QString error;
        if (!listener.bind(&error)) {
            std::printf("  list: %s\n", qPrintable(error));
            return { -1, false };
        }
        const QString address = genuineAddress(kGenuineTrials + trial);
        QElapsedTimer since;
        QElapsedTimer stay;
        double seconds = -1;
        int heardCount = 0;
        const auto has = [&address](const QList<Announcement> &heard) {
            return std::any_of(heard.begin(), heard.end(), [&](const Announcement &module) {
                return module.hostIp == address;
            });
        };
        // The list is full within the first second of the flood.
        listener.listen(QDeadlineTimer(kFloodFillMs + kListedLimitMs + kListStayMs),
                        [&](const QList<Announcement> &heard) {
                            heardCount = heard.size();
                            if (!since.isValid() && heardCount >= kMaxListedModules)
                                since = flood.announceGenuine(address);
                            const bool listed = has(heard);
                            if (listed && !stay.isValid()) {
                                seconds = since.elapsed() / 1000.0;
                                stay.start();
                            } else if (!listed && stay.isValid()) {
                                result.residentStayed = false;
                            }
                            return (stay.isValid() && stay.elapsed() > kListStayMs)
                                || (since.isValid() && since.elapsed() > kListedLimitMs
                                    && !stay.isValid());
                        });
        flood.announceGenuine(QString());
        std::printf("    list, trial %d: %d modules kept, listed after %.2f s\n", trial + 1,
                    heardCount, seconds);
        if (seconds < 0)
            longest = -1;
        else if (longest >= 0)
            longest = qMax(longest, seconds);
    }
    result.seconds = longest;
    return result;
}

bool reportListed(const char *where, const FloodKind &kind, const Listing &listing)
{
    const bool met = listing.seconds >= 0 && listing.seconds <= kListedGoalSeconds;
    if (listing.seconds < 0)
        std::printf("  %-6s %5d/s x%-2d: NOT listed within %d s", where, kind.perSecond,
                    kind.repeats, kListedLimitMs / 1000);
    else
        std::printf("  %-6s %5d/s x%-2d: listed after %.2f s = %.2f of the %.0f s goal %s", where,
                    kind.perSecond, kind.repeats, listing.seconds,
                    listing.seconds / kListedGoalSeconds, kListedGoalSeconds,
                    met ? "(met)" : "(MISSED)");
    std::printf("; the module listed before %s\n",
                listing.residentStayed ? "stayed" : "was DROPPED");
    return met && listing.residentStayed;
}

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / kKbPerMb;
    }
    return 0;
}

// The largest datagram that still is an announcement: many keys, deep arrays.
QByteArray largestLiteral()
{
    QByteArray payload = "{\"host ip\":\"127.0.0.2\",\"deep\":"
        + QByteArray(kMaxLiteralDepth - 1, '[') + "1" + QByteArray(kMaxLiteralDepth - 1, ']');
    for (int i = 0; payload.size() < kLargestDatagram - 32; ++i)
        payload += ",k" + QByteArray::number(i) + ":[1e20,'x',.5]";
    return payload + "}";
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::vector<QByteArray> payloads = corpus();

    int accepted = 0;
    const double parsed = rate(
        payloads,
        [](const QByteArray &p) {
            const std::optional<Announcement> a = parseAnnouncement(p);
            return a && !a->hostIp.isEmpty();
        },
        &accepted);
    if (accepted == 0)
        return 1;
    const double engine = rate(payloads, engineParse, &accepted);
    if (accepted == 0)
        return 1;

    const QByteArray largest = largestLiteral();
    QElapsedTimer clock;
    clock.start();
    const bool largestAccepted = parseAnnouncement(largest).has_value();
    const double largestMs = double(clock.nsecsElapsed()) / kNsPerMs;

    // A flood of new modules, as fast as the senders go: rows are made while
    // the datagrams keep coming and the kernel drops what the window cannot take.
    int floodRows = 0;
    BurstResult flood;
    {
        Widget window;
        WidgetProbe probe(window);
        probe.hexTimer()->stop();
        window.show();
        PaintRecorder recorder(probe.ui().userTableWidget->viewport());
        QApplication::processEvents();
        flood = burst(probe, recorder, kFloodSenders, kBurstDatagrams, 0);
        floodRows = probe.ui().userTableWidget->rowCount();
    }
    // Known modules announcing at twice the goal rate for two seconds.
    BurstResult sustained;
    int sustainedRows = 0;
    {
        Widget window;
        WidgetProbe probe(window);
        probe.hexTimer()->stop();
        window.show();
        PaintRecorder recorder(probe.ui().userTableWidget->viewport());
        burst(probe, recorder, kSustainedSenders, kSustainedSenders, 0);
        sustained
            = burst(probe, recorder, kSustainedSenders, kSustainedDatagrams, 2 * kGoalPerSecond);
        sustainedRows = probe.ui().userTableWidget->rowCount();
    }

    std::printf(
        "announcement reader alone:        %10.0f announcements/s = %.1f x the goal of %.0f/s\n",
        parsed, parsed / kGoalPerSecond, kGoalPerSecond);
    std::printf(
        "fresh script engine per datagram: %10.0f announcements/s (reader is %.0f x faster)\n",
        engine, parsed / engine);
    std::printf("largest datagram (%d bytes, %s): read in %.2f ms = %.2f x a %d ms frame\n",
                largest.size(), largestAccepted ? "accepted" : "dropped", largestMs,
                largestMs / kFrameIntervalMs, kFrameIntervalMs);
    std::printf("window, end to end (sender threads: %d):\n", kSenderThreads);
    std::printf("burst of %d datagrams from %d new loopback senders, unpaced:\n", kBurstDatagrams,
                kFloodSenders);
    report(flood);
    std::printf("  %d of %d modules listed\n", floodRows, kFloodSenders);
    std::printf("%d datagrams from %d listed loopback senders, offered at %.0f/s:\n",
                kSustainedDatagrams, kSustainedSenders, 2 * kGoalPerSecond);
    report(sustained);

    std::printf("a genuine module announcing once a second under floods of made-up modules "
                "(longest of %d trials each):\n",
                kGenuineTrials);
    bool listedInTime = true;
    const double memoryBefore = residentMb();
    for (const FloodKind &kind : kFloods) {
        const Listing window = windowListing(kind);
        const Listing list = listListing(kind);
        listedInTime = reportListed("window", kind, window) && listedInTime;
        listedInTime = reportListed("list", kind, list) && listedInTime;
    }
    const double memoryAfter = residentMb();
    std::printf("memory of this process: %.1f MB before the floods, %.1f MB after = %.2f x\n",
                memoryBefore, memoryAfter, memoryAfter / memoryBefore);
    return sustainedRows == kSustainedSenders && floodRows > 0 && listedInTime ? 0 : 1;
}
