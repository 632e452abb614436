#include "cli/station.h"

#include "cli/output.h"
#include "cli/progressview.h"
#include "cli/targets.h"
#include "cli/uploadsession.h"
#include "discovery/announcementlistener.h"
#include "discovery/keyedhash.h"
#include "platform/interruption.h"
#include "platform/terminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include <memory>
#include <utility>

namespace {
// How often departures and the HEX file are looked at.
constexpr int kSweepIntervalMs = 1000;
constexpr int kStatusColumn = 13; // wide enough for "INTERRUPTED"
// The header's lines are no wider than the terminal, nor than this on a wide one.
constexpr int kHeaderWidth = 120;
// The first signal takes no new boards, the second stops those in progress;
// a third ends the station at once.
constexpr int kSignalsHandled = 2;

struct Tally
{
    int flashed = 0;
    int failed = 0;
    int interrupted = 0;
    int inProgress = 0;

    QString text() const
    {
        return QStringLiteral("[flashed %1, failed %2, in progress %3]")
            .arg(flashed)
            .arg(failed + interrupted)
            .arg(inProgress);
    }
};

// A module taken for flashing, from its arrival until it falls silent.
struct Presence
{
    qint64 lastHeardMs = 0;
    bool busy = false;
};

// A module heard that waits for a free place.
struct Waiting
{
    Announcement module;
    // What the announcement connects to, checked when it was heard.
    Target target;
    qint64 lastHeardMs = 0;
};

// Modules waiting for a free place, at most kStationWaitingCapacity of them;
// taken and replaced at random, so that any module has the same chance
// however many others arrive before or after it.
class WaitingModules
{
public:
    bool isEmpty() const { return entries.isEmpty(); }
    int size() const { return entries.size(); }
    Waiting *find(const QString &address)
    {
        const auto position = positions.constFind(address);
        return position == positions.constEnd() ? nullptr : &entries[position.value()];
    }
    // False when a module had to make room for it.
    bool add(const Waiting &waiting, QRandomGenerator &random)
    {
        if (entries.size() < kStationWaitingCapacity) {
            positions.insert(waiting.module.hostIp, entries.size());
            entries.append(waiting);
            return true;
        }
        const int replaced = int(random.bounded(quint32(entries.size())));
        positions.remove(entries.at(replaced).module.hostIp);
        positions.insert(waiting.module.hostIp, replaced);
        entries[replaced] = waiting;
        return false;
    }
    Waiting take(const QString &address) { return takeAt(positions.value(address)); }
    Waiting takeAny(QRandomGenerator &random)
    {
        return takeAt(int(random.bounded(quint32(entries.size()))));
    }
    // Those silent since before `heardSince`; how many went.
    int removeSilent(qint64 heardSince)
    {
        int removed = 0;
        for (int index = entries.size() - 1; index >= 0; --index) {
            if (entries.at(index).lastHeardMs < heardSince) {
                takeAt(index);
                ++removed;
            }
        }
        return removed;
    }
    void clear()
    {
        entries.clear();
        positions.clear();
    }

private:
    Waiting takeAt(int index)
    {
        const Waiting taken = entries.at(index);
        positions.remove(taken.module.hostIp);
        if (index != entries.size() - 1) {
            entries[index] = entries.last();
            positions.insert(entries.at(index).module.hostIp, index);
        }
        entries.removeLast();
        return taken;
    }

    QVector<Waiting> entries;
    QHash<QString, int> positions;
};

class Station : public QObject
{
public:
    Station(const Options &options, const QByteArray &image)
        : options(options)
        , image(image)
        , view(ProgressView::Mode::Silent, stdout, kDefaultTerminalColumns)
        , keptForRepeated(options.parallel / 4)
        , random(QRandomGenerator::global()->generate())
    {
    }

    int run();

private:
    bool openLog(QString *error);
    void heard(const Announcement &module);
    void addWaiting(const Waiting &waiting, bool heardBefore);
    void startWaiting();
    void begin(const Waiting &waiting);
    void flash(const Target &target);
    void finished(UploadSession *session, const TargetResult &result);
    void sweep();
    void checkImageFile();
    void stopRequested(int count, const QString &why);
    void endIfIdle();
    void log(const TargetResult &result);
    void say(const QString &line);

    const Options &options;
    QByteArray image;
    QDateTime imageTime;
    qint64 imageFileSize = -1;
    bool changeReported = false;
    ProgressView view;
    AnnouncementListener listener;
    QHash<QString, Presence> presences;
    QList<UploadSession *> running;
    // Places only modules heard in two periods may take: a flood of
    // one-time senders whose uploads hang cannot fill them.
    const int keptForRepeated;
    QRandomGenerator random;
    RecentAddresses recent;
    WaitingModules heardOnce;
    WaitingModules heardAgain;
    // Waiting modules that found no room, or fell silent before their turn,
    // and announcements that name no port one could connect to.
    qint64 dropped = 0;
    qint64 droppedReported = 0;
    QElapsedTimer clock;
    QFile csv;
    Tally tally;
    bool stopping = false;
    QString logError;
};

QString labelOf(const Target &target)
{
    return target.name.isEmpty()
        ? target.address
        : target.name + QStringLiteral(" (") + target.address + QLatin1Char(')');
}

QString csvField(const QString &text)
{
    // What a spreadsheet would run as a formula: a name such as "=cmd|' /C
    // calc'!A0" is a module's to choose.
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    QString field = text;
    if (!field.isEmpty() && formulaStarts.contains(field.at(0)))
        field.prepend(QLatin1Char('\''));
    // No raw control character, and so no line break, is left after this.
    field = printable(field);
    static const QRegularExpression special(QStringLiteral("[,\"]"));
    if (!field.contains(special))
        return field;
    return QLatin1Char('"') + field.replace(QLatin1Char('"'), QStringLiteral("\"\""))
        + QLatin1Char('"');
}

void Station::say(const QString &line)
{
    printLine(line);
}

bool Station::openLog(QString *error)
{
    csv.setFileName(options.logPath);
    if (!csv.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        *error = QStringLiteral("cannot open %1: %2").arg(options.logPath, csv.errorString());
        return false;
    }
    // A full disk (or /dev/full) shows with the first line written, not at
    // the end of a day of flashing.
    if (csv.size() == 0) {
        const QByteArray header = (stationCsvHeader() + QLatin1Char('\n')).toUtf8();
        if (csv.write(header) != header.size() || !csv.flush()) {
            *error = QStringLiteral("cannot write %1: %2").arg(options.logPath, csv.errorString());
            csv.close();
            return false;
        }
    }
    return true;
}

int Station::run()
{
    QString error;
    // Before anything is heard: a station that cannot keep its log flashes nothing.
    if (!options.logPath.isEmpty() && !openLog(&error)) {
        printError(error + QStringLiteral("; nothing was flashed"));
        return kExitUsage;
    }
    if (!listener.bind(&error)) {
        say(QStringLiteral("rudireze-cli: ") + error);
        return kExitFailure;
    }
    const QFileInfo file(options.file);
    imageTime = file.lastModified();
    imageFileSize = file.size();

    clock.start();
    listener.follow([this](const Announcement &module) { heard(module); });
    QTimer sweeper;
    connect(&sweeper, &QTimer::timeout, this, [this] { sweep(); });
    sweeper.start(kSweepIntervalMs);
    Interruption interruption(kSignalsHandled);
    connect(&interruption, &Interruption::requested, this,
            [this, &interruption](int count) { stopRequested(count, interruption.signalName()); });
    QTimer end;
    end.setSingleShot(true);
    connect(&end, &QTimer::timeout, this, [this] { stopRequested(1, QString()); });
    if (options.secondsGiven)
        end.start(static_cast<int>(options.seconds * kMsecsPerSecond));

    // Broken into lines a terminal shows whole, however long the path and
    // the patterns.
    const QString header
        = QStringLiteral("Flashing %1 (%2 bytes) into every %3 that announces itself%4; Ctrl-C "
                         "ends.")
              .arg(options.file)
              .arg(image.size())
              .arg(options.boardName(),
                   options.names.isEmpty()
                       ? QString()
                       : QStringLiteral(" as ") + options.names.join(QStringLiteral(" or ")));
    printText(stdout, wrapText(printable(header), qMin(terminalColumns(stdout), kHeaderWidth)));
    QCoreApplication::exec();

    say(QStringLiteral("Flashed %1 board%2, %3 failed, %4 interrupted, in %5 s%6.")
            .arg(tally.flashed)
            .arg(tally.flashed == 1 ? QString() : QStringLiteral("s"))
            .arg(tally.failed)
            .arg(tally.interrupted)
            .arg(clock.elapsed() / kMsecsPerSecond, 0, 'f', 1)
            .arg(dropped == 0
                     ? QString()
                     : QStringLiteral("; waiting modules were dropped %1 times").arg(dropped)));
    if (!logError.isEmpty())
        printError(logError);
    return tally.failed + tally.interrupted == 0 && logError.isEmpty() ? kExitSuccess
                                                                       : kExitFailure;
}

void Station::heard(const Announcement &module)
{
    if (stopping || !stationNameMatches(options.names, module.hostName))
        return;
    const qint64 now = clock.elapsed();
    const bool heardBefore = recent.heard(module.hostIp, now);
    const auto presence = presences.find(module.hostIp);
    if (presence != presences.end()) {
        presence->lastHeardMs = now;
        return;
    }
    // Counted with the dropped, not flashed and logged one by one: a flood
    // of such announcements would otherwise fill the log and the failures.
    QString error;
    const std::optional<Target> target = announcedTarget(module, &error);
    if (!target) {
        ++dropped;
        return;
    }
    if (Waiting *waiting = heardAgain.find(module.hostIp)) {
        *waiting = { module, *target, now };
        return;
    }
    if (Waiting *waiting = heardOnce.find(module.hostIp)) {
        *waiting = { module, *target, now };
        if (!heardBefore)
            return;
        addWaiting(heardOnce.take(module.hostIp), true);
    } else {
        addWaiting({ module, *target, now }, heardBefore);
    }
    startWaiting();
}

void Station::addWaiting(const Waiting &waiting, bool heardBefore)
{
    if (!(heardBefore ? heardAgain : heardOnce).add(waiting, random))
        ++dropped;
}

void Station::startWaiting()
{
    while (!stopping && running.size() < options.parallel) {
        WaitingModules *next = nullptr;
        if (!heardAgain.isEmpty())
            next = &heardAgain;
        else if (!heardOnce.isEmpty() && running.size() < options.parallel - keptForRepeated)
            next = &heardOnce;
        if (!next)
            return;
        begin(next->takeAny(random));
    }
}

void Station::begin(const Waiting &waiting)
{
    Presence &presence = presences[waiting.module.hostIp];
    presence.lastHeardMs = clock.elapsed();
    presence.busy = true;
    flash(waiting.target);
}

void Station::flash(const Target &target)
{
    auto *session
        = new UploadSession(image, *options.board, options.verify,
                            static_cast<int>(options.timeoutSeconds * kMsecsPerSecond), view);
    running << session;
    ++tally.inProgress;
    say(QStringLiteral("started").leftJustified(kStatusColumn) + labelOf(target)
        + QStringLiteral("  ") + tally.text());
    connect(session, &UploadSession::ended, this,
            [this, session] { finished(session, session->results().value(0)); });
    session->start({ target });
}

void Station::finished(UploadSession *session, const TargetResult &result)
{
    running.removeOne(session);
    session->deleteLater();
    --tally.inProgress;
    Presence &presence = presences[result.target.address];
    presence.busy = false;
    // A module may fall silent while its board is flashed; it leaves only
    // once it has been silent after that.
    presence.lastHeardMs = clock.elapsed();
    if (result.succeeded())
        ++tally.flashed;
    else if (result.status == TargetStatus::Interrupted)
        ++tally.interrupted;
    else
        ++tally.failed;
    log(result);
    startWaiting();
    endIfIdle();
}

void Station::log(const TargetResult &result)
{
    const QString label = labelOf(result.target);
    const QString note = result.succeeded()
        ? QStringLiteral("%1 bytes in %2 s%3")
              .arg(result.bytes)
              .arg(result.seconds, 0, 'f', 1)
              .arg(result.verified ? QStringLiteral(", verified") : QString())
        : result.error;
    const QString status = statusText(result.status);
    say((result.succeeded() ? status : status.toUpper()).leftJustified(kStatusColumn) + label
        + QStringLiteral(": ") + note + QStringLiteral("  ") + tally.text());
    if (!csv.isOpen())
        return;
    const QString line
        = stationCsvLine({ QDateTime::currentDateTime().toString(Qt::ISODate), result.target.name,
                           result.target.address, result.board, QString::number(result.bytes),
                           QString::number(result.seconds, 'f', 1), status, result.error });
    // Flushed line by line: a station stopped any way keeps every board it logged.
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    if ((csv.write(bytes) != bytes.size() || !csv.flush()) && logError.isEmpty())
        logError = QStringLiteral("cannot write %1: %2").arg(options.logPath, csv.errorString());
}

void Station::sweep()
{
    const qint64 now = clock.elapsed();
    for (auto it = presences.begin(); it != presences.end();) {
        if (it->busy || now - it->lastHeardMs < kStationGoneAfterMs) {
            ++it;
            continue;
        }
        say(QStringLiteral("left         %1: the next board there is flashed anew").arg(it.key()));
        it = presences.erase(it);
    }
    // A board taken off the bench before its turn is not waited for.
    dropped += heardOnce.removeSilent(now - kStationGoneAfterMs);
    dropped += heardAgain.removeSilent(now - kStationGoneAfterMs);
    // Counted once a second: a flood would otherwise bury every board's line.
    if (dropped != droppedReported) {
        say(QStringLiteral("waiting      %1 modules for %2 places; dropped %3 times so far")
                .arg(heardOnce.size() + heardAgain.size())
                .arg(options.parallel)
                .arg(dropped));
        droppedReported = dropped;
    }
    checkImageFile();
}

void Station::checkImageFile()
{
    const QFileInfo file(options.file);
    if (file.lastModified() == imageTime && file.size() == imageFileSize)
        return;
    if (!options.reload) {
        if (!changeReported)
            say(QStringLiteral("%1 changed on disk; still flashing the image read at the start "
                               "(--reload takes new ones)")
                    .arg(options.file));
        changeReported = true;
        return;
    }
    imageTime = file.lastModified();
    imageFileSize = file.size();
    Options check = options;
    QByteArray fresh;
    // The same checks as at the start; a file that fails them is not taken.
    if (!readUploadImage(check, &fresh).isEmpty()) {
        say(QStringLiteral("%1 changed on disk but cannot be flashed; still flashing the "
                           "image in use")
                .arg(options.file));
        return;
    }
    image = fresh;
    say(QStringLiteral("%1 changed on disk: boards from now on get the new image (%2 bytes)")
            .arg(options.file)
            .arg(image.size()));
}

void Station::stopRequested(int count, const QString &why)
{
    if (count > 1 && !running.isEmpty()) {
        say(QStringLiteral("Stopping the %1 board%2 in progress.")
                .arg(running.size())
                .arg(running.size() == 1 ? QString() : QStringLiteral("s")));
        for (UploadSession *session : running)
            session->interrupt(why);
        return;
    }
    if (stopping)
        return;
    stopping = true;
    heardOnce.clear();
    heardAgain.clear();
    if (!running.isEmpty())
        say(QStringLiteral("Stopping: no new boards; waiting for the %1 in progress (Ctrl-C "
                           "again cuts them short).")
                .arg(running.size()));
    endIfIdle();
}

void Station::endIfIdle()
{
    if (stopping && running.isEmpty())
        QCoreApplication::exit(0);
}
} // namespace

RecentAddresses::RecentAddresses(quint64 key)
    : current(kBits)
    , previous(kBits)
    , key { key ? key : QRandomGenerator::system()->generate64(),
            key ? ~key : QRandomGenerator::system()->generate64() }
{
}

bool RecentAddresses::heard(const QString &address, qint64 nowMs)
{
    const qint64 now = nowMs / kPeriodMs;
    if (now != period) {
        if (now == period + 1)
            std::swap(current, previous);
        else
            previous.fill(false);
        current.fill(false);
        period = now;
    }
    // Two independent halves make kHashes positions as good as kHashes
    // hashes; h2 odd keeps them apart, kBits being a power of two.
    const quint64 hash = keyedHash(key, address);
    const auto h1 = quint32(hash);
    const auto h2 = quint32(hash >> 32) | 1U;
    bool before = true;
    for (quint32 i = 0; i < quint32(kHashes); ++i) {
        const int bit = int((h1 + i * h2) % quint32(kBits));
        before = before && previous.testBit(bit);
        current.setBit(bit);
    }
    return before;
}

bool stationNameMatches(const QStringList &patterns, const QString &name)
{
    if (patterns.isEmpty())
        return true;
    for (const QString &pattern : patterns) {
        const QRegularExpression expression(QRegularExpression::anchoredPattern(
            QRegularExpression::wildcardToRegularExpression(pattern)));
        if (expression.match(name).hasMatch())
            return true;
    }
    return false;
}

QString stationCsvHeader()
{
    return QStringLiteral("time,name,address,board,bytes,seconds,result,error");
}

QString stationCsvLine(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csvField(field);
    return quoted.join(QLatin1Char(','));
}

int runStation(const Options &options)
{
    QByteArray image;
    const QString problem = readUploadImage(options, &image);
    if (!problem.isEmpty()) {
        printError(problem);
        return kExitUsage;
    }
    Station station(options, image);
    return station.run();
}

namespace {
QString setLog(Options &options, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("--log needs a file name");
    options.logPath = value;
    return QString();
}

QString setParallel(Options &options, const QString &value)
{
    return takeCount(&options.parallel, value, kMaxStationParallel,
                     "bad --parallel '%1': a number of boards from 1 to %2");
}

const Option kNamePatternOption { "--name PATTERN", setName };
const Option kLogOption { "--log FILE.csv", setLog };
const Option kReloadOption { "--reload", setFlag<&Options::reload> };
const Option kParallelOption { "--parallel N", setParallel };

QString stationPositionals(const CommandEntry &, Options &options, QStringList arguments)
{
    if (arguments.size() != 1)
        return QStringLiteral("station needs one HEX file");
    if (!options.board)
        return QStringLiteral("station needs --board (%1)").arg(boardList());
    options.file = arguments.first();
    return QString();
}
} // namespace

const CommandEntry kStationCommand {
    Command::Station,
    "station",
    "flash every board that appears, as it appears",
    QStringLiteral(R"(Usage: rudireze-cli station FILE.hex --board BOARD [--verify]
                             [--name PATTERN]... [--log FILE.csv] [--seconds N]
                             [--reload] [--timeout S] [--parallel N]

A flashing station for a bench of boards: listens for module announcements
and flashes every module that appears, as soon as it is heard, several at
the same time. Each module is flashed once; one that falls silent for %1 s
and then announces itself again (a new board on the bench) is flashed again.
A line is printed for every board as it finishes, with the running count of
boards flashed, failed and in progress.

At most --parallel boards are flashed at once; modules heard meanwhile wait,
up to %2 of them. A module heard again a few seconds later goes before those
heard only once, and a quarter of the places are kept for it, so that a flood
of made-up announcements cannot keep a real module from its turn. Modules for
which the wait has no room are counted, once a second, not listed one by one;
one that goes on announcing itself comes back.

)")
        .arg(kStationGoneAfterMs / kMsecsPerSecond)
        .arg(2 * kStationWaitingCapacity),
    16,
    { { &kBoardOption, QStringLiteral("UNO, MEGA2560, Orvex3 or Orvex0, for every module") },
      { &kVerifyOption, QStringLiteral("read each board's flash back, as upload --verify does") },
      { &kNamePatternOption,
        QStringLiteral("only modules whose name matches the shell-style pattern\n"
                       "(*, ?, [...]; repeatable, quote it from the shell)") },
      { &kLogOption,
        QStringLiteral("append one line per board: time, name, address, board,\n"
                       "bytes, seconds, result, error; written as each board\n"
                       "finishes, so nothing is lost when the station is stopped") },
      { &kSecondsOption, QStringLiteral("end after N seconds (default: run until Ctrl-C)") },
      { &kReloadOption,
        QStringLiteral("when FILE.hex changes on disk, flash the new image from then\n"
                       "on (otherwise the station says so and keeps the image it\n"
                       "read at the start)") },
      { &kTimeoutOption,
        QStringLiteral("stop one board's upload after S seconds (default %1)")
            .arg(kDefaultUploadTimeoutSeconds) },
      { &kParallelOption,
        QStringLiteral("flash at most N boards at the same time (default %1, at\n"
                       "most %2)")
            .arg(kDefaultStationParallel)
            .arg(kMaxStationParallel) },
      shownVerboseRow(),
      helpRow() },
    QStringLiteral(R"(
Ctrl-C (or SIGTERM, SIGHUP, or the end of --seconds) takes no new boards,
lets those in progress finish and prints the totals; a second Ctrl-C stops
the boards in progress, which are logged as interrupted; a third ends the
station at once.

Exit status: 0 when no board failed, 1 when any failed, was interrupted or
the log could not be written, 2 for a usage error, a HEX file that gives no
image for the board or a log that cannot be written at the start (nothing is
flashed then).
)"),
    stationPositionals,
    nullptr,
    runStation,
};
