#include "cli/transfer.h"

#include "cli/output.h"
#include "cli/progressview.h"
#include "cli/targets.h"
#include "discovery/announcementlistener.h"
#include "firmware/hexconversion.h"
#include "platform/interruption.h"
#include "platform/terminal.h"
#include "upload/boards.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <functional>

namespace {
// Wide enough for "VERIFY-FAILED".
constexpr int kStatusColumn = 15;

// After every name was heard, announcements are still read this long, so a
// second module with one of the names shows.
constexpr int kNameGraceMs = 1000;

QString nothingDone(const Options &options)
{
    return options.command == Command::Read ? QStringLiteral("read") : QStringLiteral("uploaded");
}

QJsonObject resultJson(const TargetResult &result)
{
    const bool located = !result.target.address.isEmpty();
    QJsonObject object {
        { QStringLiteral("target"), located ? QJsonValue(result.target.text()) : QJsonValue() },
        { QStringLiteral("address"), orNull(result.target.address) },
        { QStringLiteral("dataPort"), located ? QJsonValue(result.target.dataPort) : QJsonValue() },
        { QStringLiteral("atPort"), located ? QJsonValue(result.target.atPort) : QJsonValue() },
        { QStringLiteral("name"), orNull(result.target.name) },
        { QStringLiteral("board"), result.board },
        { QStringLiteral("bytes"), result.bytes },
        { QStringLiteral("seconds"), result.seconds },
        { QStringLiteral("status"), statusText(result.status) },
        { QStringLiteral("verified"), result.verified },
        { QStringLiteral("firstMismatch"),
          result.firstMismatch >= 0 ? QJsonValue(result.firstMismatch) : QJsonValue() },
        { QStringLiteral("error"), orNull(result.error) },
        { QStringLiteral("file"), orNull(result.file) },
    };
    return object;
}

QString targetLabel(const Target &target)
{
    return target.name.isEmpty()
        ? target.text()
        : target.text() + QStringLiteral(" (") + target.name + QLatin1Char(')');
}

// The names given with --name that modules at more than one address
// announce, each with its addresses: one name meant one board, and flashing
// whichever answered would be a guess.
QStringList ambiguousNames(const Options &options, const QList<Announcement> &heard)
{
    QStringList ambiguous;
    for (const QString &name : options.names) {
        QStringList addresses;
        for (const Announcement &module : heard) {
            if (module.hostName == name && !addresses.contains(module.hostIp))
                addresses << module.hostIp;
        }
        if (addresses.size() > 1)
            ambiguous << name + QStringLiteral(" (") + addresses.join(QStringLiteral(", "))
                    + QLatin1Char(')');
    }
    return ambiguous;
}

// Each module once: two workers on one module would fight over it.
QVector<Target> withoutRepeats(const QVector<Target> &targets)
{
    QVector<Target> unique;
    for (const Target &target : targets) {
        const bool known = std::any_of(unique.begin(), unique.end(), [&](const Target &other) {
            return QHostAddress(other.address) == QHostAddress(target.address);
        });
        if (!known)
            unique << target;
    }
    return unique;
}

void printSummary(const QVector<TargetResult> &results)
{
    int succeeded = 0;
    printLine(QString());
    for (const TargetResult &result : results) {
        const QString label = result.target.address.isEmpty()
            ? QStringLiteral("--name ") + result.target.name
            : targetLabel(result.target);
        if (result.succeeded()) {
            ++succeeded;
            printLine(statusText(result.status).leftJustified(kStatusColumn) + label
                      + QStringLiteral(": ") + QString::number(result.bytes)
                      + QStringLiteral(" bytes in ") + QString::number(result.seconds, 'f', 1)
                      + QStringLiteral(" s")
                      + (result.verified ? QStringLiteral(", verified") : QString())
                      + (result.file.isEmpty() ? QString()
                                               : QStringLiteral(", flash copy in ") + result.file));
        } else {
            printLine(statusText(result.status).toUpper().leftJustified(kStatusColumn) + label
                      + QStringLiteral(": ") + result.error
                      + (result.file.isEmpty() ? QString()
                                               : QStringLiteral(" (flash copy in ") + result.file
                                 + QLatin1Char(')')));
        }
    }
    const int interrupted = int(std::count_if(results.begin(), results.end(), [](const auto &r) {
        return r.status == TargetStatus::Interrupted;
    }));
    const int failed = results.size() - succeeded;
    printLine(QStringLiteral("%1 of %2 target%3 succeeded, %4 failed%5.")
                  .arg(succeeded)
                  .arg(results.size())
                  .arg(results.size() == 1 ? QString() : QStringLiteral("s"))
                  .arg(failed)
                  .arg(interrupted > 0 ? QStringLiteral(" (%1 interrupted)").arg(interrupted)
                                       : QString()));
}

void printUploadResults(const Options &options, const QVector<TargetResult> &results)
{
    if (options.json) {
        QJsonArray array;
        int succeeded = 0;
        for (const TargetResult &result : results) {
            array.append(resultJson(result));
            succeeded += result.succeeded() ? 1 : 0;
        }
        QJsonObject report { { QStringLiteral("results"), array },
                             { QStringLiteral("succeeded"), succeeded },
                             { QStringLiteral("failed"), results.size() - succeeded } };
        if (results.isEmpty())
            report.insert(QStringLiteral("error"),
                          QStringLiteral("no module announced itself within %1 s")
                              .arg(secondsText(options.seconds)));
        printJson(report);
    } else if (results.isEmpty()) {
        printLine(QStringLiteral("No module announced itself within %1 s: nothing was %2.")
                      .arg(secondsText(options.seconds), nothingDone(options)));
    } else {
        printSummary(results);
    }
}

// Uploads to every target at once with the progress display the output
// calls for; with --monitor, *kept takes the data connection of the target.
// An interruption stops the uploads still under way.
QVector<TargetResult> uploadToTargets(const Options &options, const QByteArray &image,
                                      const QVector<Target> &targets,
                                      std::unique_ptr<QTcpSocket> *kept, Interruption *interruption,
                                      const std::function<void(UploadSession &)> &prepare)
{
    // Lines drawn in place must all fit on the screen, the cursor cannot go
    // back above its top.
    const bool live
        = !options.json && isInteractiveTerminal(stdout) && targets.size() < terminalRows(stdout);
    const ProgressView::Mode mode = options.json ? ProgressView::Mode::Silent
        : live                                   ? ProgressView::Mode::Terminal
                                                 : ProgressView::Mode::Plain;
    ProgressView view(mode, stdout, live ? terminalColumns(stdout) : kDefaultTerminalColumns);
    UploadSession session(image, *options.board, options.verify,
                          static_cast<int>(options.timeoutSeconds * kMsecsPerSecond), view);
    session.setKeepDataConnection(options.monitor);
    prepare(session);
    QObject::connect(interruption, &Interruption::requested, &session,
                     [&] { session.interrupt(interruption->signalName()); });
    const QVector<TargetResult> results = session.run(targets);
    if (kept && options.monitor && !interruption->happened())
        kept->reset(session.takeDataSocket(0));
    return results;
}

// What a board's flash read is kept as: its program, without the erased
// flash behind it (a board with no program keeps nothing).
QByteArray withoutErasedTail(const QByteArray &flash)
{
    int end = flash.size();
    while (end > 0 && flash.at(end - 1) == '\xFF')
        --end;
    return flash.left(end);
}

// The part of each target's copy name before its time: the announced name
// when no other target has it, else the address, each made safe as a file
// name (announced names may hold anything, and IPv6 addresses hold colons).
QStringList flashCopyStems(const QVector<Target> &targets)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QStringList stems;
    for (const Target &target : targets) {
        const bool unique = std::count_if(targets.begin(), targets.end(),
                                          [&](const Target &t) { return t.name == target.name; })
            == 1;
        QString stem = !target.name.isEmpty() && unique ? target.name : target.address;
        stem.replace(unsafe, QStringLiteral("_"));
        if (stem.startsWith(QLatin1Char('.')))
            stem.prepend(QLatin1Char('_'));
        stems << stem;
    }
    return stems;
}
} // namespace

QString transferPositionals(const CommandEntry &entry, Options &options, QStringList arguments)
{
    const QLatin1String command(entry.name);
    const bool upload = options.command == Command::Upload;
    if (upload && arguments.isEmpty())
        return QStringLiteral("upload needs a HEX file");
    if (!options.board)
        return QStringLiteral("%1 needs --board (%2)").arg(command, boardList());
    if (!upload && !options.outputGiven)
        return QStringLiteral("read needs -o FILE (.hex or .bin) or -o DIRECTORY");
    if (upload)
        options.file = arguments.takeFirst();
    for (const QString &text : arguments) {
        QString error;
        const std::optional<Target> target = parseTarget(text, &error);
        if (!target)
            return error;
        options.targets << *target;
    }
    if (options.targets.isEmpty() && options.names.isEmpty() && !options.all)
        return QStringLiteral("%1 needs a target: IP:DATAPORT:ATPORT, --name NAME or --all")
            .arg(command);
    if (options.monitor && (options.all || options.targets.size() + options.names.size() != 1))
        return QStringLiteral("upload --monitor takes exactly one target");
    if (options.monitor && options.json)
        return QStringLiteral("--monitor and --json cannot go together");
    if (!options.monitor && (options.timestamp || options.hex || !options.until.isEmpty()))
        return QStringLiteral("--until, --timestamp and --hex need --monitor");
    return QString();
}

std::optional<int> resolveUploadTargets(const Options &options, QVector<Target> *targets,
                                        QVector<TargetResult> *failures)
{
    *targets = options.targets;
    if (options.all || !options.names.isEmpty()) {
        AnnouncementListener listener;
        QString error;
        if (!listener.bind(&error))
            return refuse(options, kTransferFailureJson, error, kExitFailure);
        if (!options.json)
            printLine(QStringLiteral("Listening for module announcements for up to %1 s ...")
                          .arg(secondsText(options.seconds)));
        // With names only, listening ends a moment after every name was heard.
        QDeadlineTimer grace(QDeadlineTimer::Forever);
        const auto everyNameHeard = [&options, &grace](const QList<Announcement> &heard) {
            if (options.all)
                return false;
            if (grace.isForever()
                && std::all_of(options.names.begin(), options.names.end(), [&](const QString &n) {
                       return std::any_of(heard.begin(), heard.end(),
                                          [&](const Announcement &m) { return m.hostName == n; });
                   }))
                grace.setRemainingTime(kNameGraceMs);
            return grace.hasExpired();
        };
        // With --monitor, --seconds bounds the monitoring instead.
        const double listenSeconds = options.monitor ? kDefaultListenSeconds : options.seconds;
        const QList<Announcement> heard = listener.listen(
            QDeadlineTimer(static_cast<qint64>(listenSeconds * kMsecsPerSecond)), everyNameHeard);
        hintWhenNothingHeard(heard);
        const QStringList ambiguous = ambiguousNames(options, heard);
        if (!ambiguous.isEmpty() && !options.allMatching)
            return refuse(options, kTransferFailureJson,
                          QStringLiteral("--name matches modules at more than one address: %1; "
                                         "give their addresses, or --all-matching to take them "
                                         "all; nothing was %2")
                              .arg(ambiguous.join(QStringLiteral("; ")), nothingDone(options)),
                          kExitUsage);
        const AnnouncedTargets announced = targetsFromAnnouncements(options, heard);
        *targets += announced.targets;
        *failures = announced.failures;
    }
    *targets = withoutRepeats(*targets);
    if (options.monitor && targets->size() > 1) {
        printError(QStringLiteral("upload --monitor takes one target; %1 modules answer to the "
                                  "name; nothing was uploaded")
                       .arg(targets->size()));
        return kExitUsage;
    }
    return std::nullopt;
}

FlashCopies::FlashCopies(const QString &output, bool intoDirectory, bool readOnly,
                         const QVector<Target> &targets, const StandardOutputTaken *standardOutput)
    : output(output)
    , intoDirectory(intoDirectory)
    , readOnly(readOnly)
    , standardOutput(standardOutput)
    , stems(flashCopyStems(targets))
    , files(size_t(targets.size()))
{
}

QString FlashCopies::keep(int index, const QByteArray &flash, qint64 *kept)
{
    const QByteArray program = withoutErasedTail(flash);
    QString path = output;
    if (intoDirectory) {
        const QString stem = QDir(output).filePath(
            stems.at(index) + QLatin1Char('-')
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
        // A copy made the same second (a second run) must not replace
        // the first, which may be the only one of the earlier program;
        // nor may a copy go through a link that leads nowhere yet.
        path = stem + QStringLiteral(".hex");
        for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
            path = stem + QStringLiteral("-%1.hex").arg(n);
    }
    const QString error = standardOutput
        ? writeToStandardOutput(*standardOutput, hexTextOfImage(program))
        : writeImageFile(path, program);
    if (!error.isEmpty())
        return QStringLiteral("the flash was read but cannot be kept: ") + error;
    files[size_t(index)] = path;
    *kept = program.size();
    return QString();
}

void FlashCopies::readBy(UploadSession &session, const Options &options)
{
    session.setFlashReading(
        options.board->applicationSize,
        [this](int index, const QByteArray &flash, qint64 *kept) {
            return keep(index, flash, kept);
        },
        readOnly);
}

void FlashCopies::note(QVector<TargetResult> &results) const
{
    for (int index = 0; index < results.size() && size_t(index) < files.size(); ++index)
        results[index].file = files[size_t(index)];
}

bool Transferred::allSucceeded() const
{
    return !results.isEmpty()
        && std::all_of(results.begin(), results.end(),
                       [](const TargetResult &result) { return result.succeeded(); });
}

Transferred transfer(const Options &options, const QByteArray &image,
                     const QVector<Target> &targets, const QVector<TargetResult> &failures,
                     FlashCopies *copies, std::unique_ptr<QTcpSocket> *kept)
{
    Transferred transferred;
    // The monitor after an upload handles its own signals: this one ends here.
    Interruption interruption;
    if (!targets.isEmpty()) {
        transferred.results = uploadToTargets(options, image, targets, kept, &interruption,
                                              [&](UploadSession &session) {
                                                  if (copies)
                                                      copies->readBy(session, options);
                                              });
        if (copies)
            copies->note(transferred.results);
    }
    transferred.results += failures;
    printUploadResults(options, transferred.results);
    transferred.interrupted = interruption.exitStatus();
    return transferred;
}
