#include "cli/station.h"

#include "cli/interruption.h"
#include "cli/output.h"
#include "cli/progressview.h"
#include "cli/targets.h"
#include "cli/terminal.h"
#include "cli/uploadsession.h"
#include "discovery/announcementlistener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTimer>

#include <memory>

namespace {
// How often departures and the HEX file are looked at.
constexpr int kSweepIntervalMs = 1000;
constexpr int kStatusColumn = 13; // wide enough for "INTERRUPTED"
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

// What the station knows of one module address.
struct Bench
{
    qint64 lastHeardMs = 0;
    // Heard since it last arrived, and not yet gone silent.
    bool present = false;
    bool busy = false;
};

class Station : public QObject
{
public:
    Station(const Options &options, const QByteArray &image)
        : options(options)
        , image(image)
        , view(ProgressView::Mode::Silent, stdout, kDefaultTerminalColumns)
    {
    }

    int run();

private:
    void heard(const Announcement &module);
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
    QHash<QString, Bench> benches;
    QList<UploadSession *> running;
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
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!text.contains(special))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\""))
        + QLatin1Char('"');
}

void Station::say(const QString &line)
{
    printLine(line);
}

int Station::run()
{
    QString error;
    if (!listener.bind(&error)) {
        say(QStringLiteral("rudireze-cli: ") + error);
        return kExitFailure;
    }
    if (!options.logPath.isEmpty()) {
        csv.setFileName(options.logPath);
        if (!csv.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            printError(
                QStringLiteral("cannot open %1: %2").arg(options.logPath, csv.errorString()));
            return kExitFailure;
        }
        if (csv.size() == 0) {
            csv.write((stationCsvHeader() + QLatin1Char('\n')).toUtf8());
            csv.flush();
        }
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

    say(QStringLiteral("Flashing %1 (%2 bytes) into every %3 that announces itself%4; Ctrl-C "
                       "ends.")
            .arg(options.file)
            .arg(image.size())
            .arg(options.board,
                 options.names.isEmpty()
                     ? QString()
                     : QStringLiteral(" as ") + options.names.join(QStringLiteral(" or "))));
    QCoreApplication::exec();

    say(QStringLiteral("Flashed %1 board%2, %3 failed, %4 interrupted, in %5 s.")
            .arg(tally.flashed)
            .arg(tally.flashed == 1 ? QString() : QStringLiteral("s"))
            .arg(tally.failed)
            .arg(tally.interrupted)
            .arg(clock.elapsed() / kMsecsPerSecond, 0, 'f', 1));
    if (!logError.isEmpty())
        printError(logError);
    return tally.failed + tally.interrupted == 0 && logError.isEmpty() ? kExitSuccess
                                                                       : kExitFailure;
}

void Station::heard(const Announcement &module)
{
    if (stopping || !stationNameMatches(options.names, module.hostName))
        return;
    Bench &bench = benches[module.hostIp];
    bench.lastHeardMs = clock.elapsed();
    if (bench.present)
        return;
    bench.present = true;
    QString error;
    const std::optional<Target> target = announcedTarget(module, &error);
    if (!target) {
        TargetResult failure;
        failure.target.address = module.hostIp;
        failure.target.name = module.hostName;
        failure.board = options.board;
        failure.error
            = QStringLiteral("the module announces what cannot be connected to: ") + error;
        ++tally.failed;
        log(failure);
        return;
    }
    bench.busy = true;
    flash(*target);
}

void Station::flash(const Target &target)
{
    auto *session
        = new UploadSession(image, options.board, options.verify,
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
    Bench &bench = benches[result.target.address];
    bench.busy = false;
    // A module may fall silent while its board is flashed; it leaves only
    // once it has been silent after that.
    bench.lastHeardMs = clock.elapsed();
    if (result.succeeded())
        ++tally.flashed;
    else if (result.status == TargetStatus::Interrupted)
        ++tally.interrupted;
    else
        ++tally.failed;
    log(result);
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
    for (auto it = benches.begin(); it != benches.end(); ++it) {
        Bench &bench = it.value();
        if (!bench.present || bench.busy || now - bench.lastHeardMs < kStationGoneAfterMs)
            continue;
        bench.present = false;
        say(QStringLiteral("left         %1: the next board there is flashed anew").arg(it.key()));
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
    if (readUploadImage(check, &fresh)) {
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
    if (const std::optional<int> exit = readUploadImage(options, &image))
        return *exit;
    Station station(options, image);
    return station.run();
}
