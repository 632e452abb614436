#include "cli/commands.h"

#include "cli/arduinoplatform.h"
#include "cli/commandline.h"
#include "cli/discovery.h"
#include "cli/monitor.h"
#include "cli/monitortool.h"
#include "cli/output.h"
#include "cli/progressview.h"
#include "cli/proxy.h"
#include "cli/station.h"
#include "cli/targets.h"
#include "cli/uploadsession.h"
#include "discovery/announcementlistener.h"
#include "discovery/renameexchange.h"
#include "firmware/defaultfirmware.h"
#include "firmware/hexconversion.h"
#include "platform/interruption.h"
#include "platform/terminal.h"
#include "platform/username.h"
#include "upload/boards.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {
// Wide enough for "VERIFY-FAILED".
constexpr int kStatusColumn = 15;
// The list's columns are at least as wide as their headings.
const QLatin1String kNameHeading("NAME");
const QLatin1String kAddressHeading("ADDRESS");
const QLatin1String kDataPortHeading("DATA PORT");
const QLatin1String kAtPortHeading("AT PORT");
const QLatin1String kColumnGap("  ");

// After every name was heard, announcements are still read this long, so a
// second module with one of the names shows.
constexpr int kNameGraceMs = 1000;

// The name that stands for standard output where a file is asked for.
const QLatin1String kStandardOutputName("-");

// The bytes to the standard output that `taken` holds; empty, or the
// system's reason.
QString writeToStandardOutput(const StandardOutputTaken &taken, const QByteArray &bytes)
{
    QFile output;
    if (taken.descriptor() < 0
        || !output.open(taken.descriptor(), QIODevice::WriteOnly | QIODevice::Unbuffered)
        || !writeAllBytes(output, bytes))
        return QStringLiteral("cannot write to standard output: ") + output.errorString();
    return QString();
}

// JSON is UTF-8 whatever the locale.
void printJson(const QJsonObject &object)
{
    writeBytes(stdout, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// A port as a number, as in every module the JSON shows; null for a text
// that is not a port.
QJsonValue portJson(const QString &text)
{
    const std::optional<quint16> port = parsePort(text);
    return port ? QJsonValue(int(*port)) : QJsonValue();
}

QJsonObject moduleJson(const Announcement &module)
{
    return QJsonObject { { QStringLiteral("name"), module.hostName },
                         { QStringLiteral("address"), module.hostIp },
                         { QStringLiteral("dataPort"), portJson(module.dataPort) },
                         { QStringLiteral("atPort"), portJson(module.atPort) } };
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
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

qint64 applicationSizeOf(const QString &board)
{
    return boardNamed(board)->applicationSize;
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

// The failure on standard error, and with --json on standard output too; the
// exit status given.
int refuse(const Options &options, const QString &message, int exitStatus)
{
    printError(message);
    if (options.json)
        printFailureJson(options.command, message);
    return exitStatus;
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
} // namespace

void printFailureJson(Command command, const QString &error)
{
    QJsonObject object;
    switch (command) {
    case Command::List:
        object.insert(QStringLiteral("modules"), QJsonArray());
        break;
    case Command::Upload:
    case Command::Read:
        object.insert(QStringLiteral("results"), QJsonArray());
        object.insert(QStringLiteral("succeeded"), 0);
        object.insert(QStringLiteral("failed"), 0);
        break;
    case Command::Locate:
        object.insert(QStringLiteral("path"), QJsonValue());
        object.insert(QStringLiteral("time"), QJsonValue());
        break;
    default:
        break;
    }
    object.insert(QStringLiteral("error"), error);
    printJson(object);
}

int runList(const Options &options)
{
    AnnouncementListener listener;
    QString error;
    if (!listener.bind(&error))
        return refuse(options, error, kExitFailure);
    const QList<Announcement> heard
        = listener.listen(QDeadlineTimer(static_cast<qint64>(options.seconds * kMsecsPerSecond)));
    hintWhenNothingHeard(heard);

    if (options.json) {
        QJsonArray modules;
        for (const Announcement &module : heard)
            modules.append(moduleJson(module));
        printJson(QJsonObject { { QStringLiteral("modules"), modules } });
        return kExitSuccess;
    }
    if (heard.isEmpty()) {
        printLine(QStringLiteral("No module announced itself within %1 s.")
                      .arg(secondsText(options.seconds)));
        return kExitSuccess;
    }
    int nameWidth = kNameHeading.size();
    int addressWidth = kAddressHeading.size();
    for (const Announcement &module : heard) {
        nameWidth = qMax(nameWidth, printable(module.hostName).size());
        addressWidth = qMax(addressWidth, printable(module.hostIp).size());
    }
    const auto row
        = [&](const QString &name, const QString &address, const QString &data, const QString &at) {
              printLine(printable(name).leftJustified(nameWidth) + kColumnGap
                        + printable(address).leftJustified(addressWidth) + kColumnGap
                        + printable(data).leftJustified(kDataPortHeading.size()) + kColumnGap + at);
          };
    row(kNameHeading, kAddressHeading, kDataPortHeading, kAtPortHeading);
    for (const Announcement &module : heard)
        row(module.hostName, module.hostIp, module.dataPort, module.atPort);
    printLine(QStringLiteral("%1 module%2 heard in %3 s.")
                  .arg(heard.size())
                  .arg(heard.size() == 1 ? QString() : QStringLiteral("s"))
                  .arg(secondsText(options.seconds)));
    return kExitSuccess;
}

int runConvert(const Options &options)
{
    ImageFileConversion result;
    std::optional<StandardOutputTaken> taken;
    if (options.output == kStandardOutputName) {
        // Its report goes to standard error then.
        taken.emplace();
        QByteArray image;
        result = convertHexFile(options.file, &image);
        const QString error = result.ok() ? writeToStandardOutput(*taken, image) : QString();
        if (!error.isEmpty()) {
            result.status = ImageFileConversion::OutputUnwritable;
            result.message = error;
        }
    } else {
        result = convertHexFileToImage(options.file, options.output);
    }
    if (!result.ok()) {
        printError(result.message);
        return kExitFailure;
    }
    printLine(QStringLiteral("%1: %2 bytes written to %3")
                  .arg(options.file)
                  .arg(result.imageBytes)
                  .arg(taken ? QStringLiteral("standard output") : options.output));
    return kExitSuccess;
}

int runLocate(const Options &options)
{
    FirmwareChoice choice;
    // The window's run, without its ./log.txt.
    locateDefaultFirmware(choice, loginUserName(), QString());
    if (options.json) {
        printJson(
            QJsonObject { { QStringLiteral("path"), orNull(choice.path) },
                          { QStringLiteral("time"),
                            choice.path.isEmpty() ? QJsonValue() : orNull(choice.generateTime) } });
    } else if (choice.path.isEmpty()) {
        printLine(QStringLiteral("No default firmware file found: no Arduino-style build left a "
                                 ".ino.hex or .cpp.hex in the temporary directory."));
    } else {
        printLine(choice.path);
        printLine(QStringLiteral("Generate time: ") + choice.generateTime);
    }
    return choice.path.isEmpty() ? kExitFailure : kExitSuccess;
}

namespace {

// The targets given, and those that --name and --all pick from the
// announcements (names not heard become failures); or the exit status.
std::optional<int> resolveUploadTargets(const Options &options, QVector<Target> *targets,
                                        QVector<TargetResult> *failures)
{
    *targets = options.targets;
    if (options.all || !options.names.isEmpty()) {
        AnnouncementListener listener;
        QString error;
        if (!listener.bind(&error))
            return refuse(options, error, kExitFailure);
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
            return refuse(options,
                          QStringLiteral("--name matches modules at more than one address: %1; "
                                         "give their addresses, or --all-matching to take them "
                                         "all; nothing was %2")
                              .arg(ambiguous.join(QStringLiteral("; ")),
                                   options.command == Command::Read ? QStringLiteral("read")
                                                                    : QStringLiteral("uploaded")),
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

// Uploads to every target at once with the progress display the output
// calls for; with --monitor, *kept takes the data connection of the target.
// An interruption stops the uploads still under way.
QVector<TargetResult> uploadToTargets(const Options &options, const QByteArray &image,
                                      const QVector<Target> &targets,
                                      std::unique_ptr<QTcpSocket> *kept, Interruption *interruption,
                                      const std::function<void(UploadSession &)> &prepare = {})
{
    // Lines drawn in place must all fit on the screen, the cursor cannot go
    // back above its top.
    const bool live
        = !options.json && isInteractiveTerminal(stdout) && targets.size() < terminalRows(stdout);
    const ProgressView::Mode mode = options.json ? ProgressView::Mode::Silent
        : live                                   ? ProgressView::Mode::Terminal
                                                 : ProgressView::Mode::Plain;
    ProgressView view(mode, stdout, live ? terminalColumns(stdout) : kDefaultTerminalColumns);
    UploadSession session(image, options.board, options.verify,
                          static_cast<int>(options.timeoutSeconds * kMsecsPerSecond), view);
    session.setKeepDataConnection(options.monitor);
    if (prepare)
        prepare(session);
    if (interruption)
        QObject::connect(interruption, &Interruption::requested, &session,
                         [&] { session.interrupt(interruption->signalName()); });
    const QVector<TargetResult> results = session.run(targets);
    if (options.monitor && !(interruption && interruption->happened()))
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

// Keeps each target's flash in its own file as it is read, on the workers'
// threads: into `output` itself (standard output when `standardOutput` is
// given), or, when it is a directory, into a file named after the target and
// the time of the read.
struct FlashCopies
{
    FlashCopies(const QString &output, bool intoDirectory, const QVector<Target> &targets,
                const StandardOutputTaken *standardOutput = nullptr)
        : output(output)
        , intoDirectory(intoDirectory)
        , standardOutput(standardOutput)
        , stems(flashCopyStems(targets))
        , files(size_t(targets.size()))
    {
    }

    QString keep(int index, const QByteArray &flash, qint64 *kept)
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

    // Has every worker of the session read the application area of the
    // board's flash into these copies; with `readOnly`, instead of writing.
    void readBy(UploadSession &session, const QString &board, bool readOnly)
    {
        session.setFlashReading(
            applicationSizeOf(board),
            [this](int index, const QByteArray &flash, qint64 *kept) {
                return keep(index, flash, kept);
            },
            readOnly);
    }

    // Into the results, once the workers have ended.
    void note(QVector<TargetResult> &results) const
    {
        for (int index = 0; index < results.size() && size_t(index) < files.size(); ++index)
            results[index].file = files[size_t(index)];
    }

    const QString output;
    const bool intoDirectory;
    const StandardOutputTaken *const standardOutput;
    const QStringList stems;
    // One element per target, each written by that target's worker alone.
    std::vector<QString> files;
};

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
                      .arg(secondsText(options.seconds),
                           options.command == Command::Read ? QStringLiteral("read")
                                                            : QStringLiteral("uploaded")));
    } else {
        printSummary(results);
    }
}

} // namespace

int runUpload(const Options &options)
{
    QByteArray image;
    const QString problem = readUploadImage(options, &image);
    if (!problem.isEmpty())
        return refuse(options, problem, kExitUsage);
    // Before listening: a slip in the options shows at once.
    if (!options.backupDir.isEmpty()
        && (!QDir().mkpath(options.backupDir) || !QFileInfo(options.backupDir).isWritable()))
        return refuse(options,
                      QStringLiteral("cannot make or write to the backup directory %1; nothing "
                                     "was uploaded")
                          .arg(options.backupDir),
                      kExitUsage);
    QVector<Target> targets;
    QVector<TargetResult> failures;
    if (const std::optional<int> exit = resolveUploadTargets(options, &targets, &failures))
        return *exit;

    std::unique_ptr<QTcpSocket> kept;
    QVector<TargetResult> results;
    FlashCopies backups(options.backupDir, true, targets);
    int interrupted = 0;
    {
        // SIGINT, SIGTERM or SIGHUP stops the uploads, and the report still
        // follows; the monitor after them handles its own.
        Interruption interruption;
        if (!targets.isEmpty()) {
            results = uploadToTargets(options, image, targets, &kept, &interruption,
                                      [&](UploadSession &session) {
                                          if (!options.backupDir.isEmpty())
                                              backups.readBy(session, options.board, false);
                                      });
            backups.note(results);
        }
        results += failures;
        printUploadResults(options, results);
        interrupted = interruption.exitStatus();
    }
    if (interrupted != 0)
        return interrupted;

    const bool allSucceeded = !results.isEmpty()
        && std::all_of(results.begin(), results.end(),
                       [](const TargetResult &result) { return result.succeeded(); });
    if (allSucceeded && kept) {
        return runMonitorOn(kept.release(), monitorLabel(targets.first()), options);
    }
    return allSucceeded ? kExitSuccess : kExitFailure;
}

int runRead(const Options &options)
{
    const bool toStandardOutput = options.output == kStandardOutputName;
    const bool intoDirectory = !toStandardOutput && QFileInfo(options.output).isDir();
    // Before listening: what can give more than one target, and a file
    // in no folder, are refused at once.
    const bool severalPossible
        = options.all || options.allMatching || options.targets.size() + options.names.size() > 1;
    if (severalPossible && !intoDirectory)
        return refuse(options,
                      QStringLiteral("%1 cannot share the one file %2: give a directory with "
                                     "-o; nothing was read")
                          .arg(options.all || options.allMatching
                                   ? QStringLiteral("the boards of --all or --all-matching")
                                   : QStringLiteral("%1 targets")
                                         .arg(options.targets.size() + options.names.size()),
                               options.output),
                      kExitUsage);
    const QFileInfo folder(QFileInfo(options.output).absolutePath());
    if (!toStandardOutput && !intoDirectory && !folder.isDir())
        return refuse(options,
                      QStringLiteral("cannot write %1: there is no folder %2; nothing was read")
                          .arg(options.output, folder.filePath()),
                      kExitUsage);
    QVector<Target> targets;
    QVector<TargetResult> failures;
    if (const std::optional<int> exit = resolveUploadTargets(options, &targets, &failures))
        return *exit;
    if (targets.size() > 1 && !intoDirectory)
        return refuse(options,
                      QStringLiteral("%1 targets cannot share the one file %2: give a directory "
                                     "with -o; nothing was read")
                          .arg(targets.size())
                          .arg(options.output),
                      kExitUsage);
    // The copy alone on standard output; the report goes to standard error.
    std::optional<StandardOutputTaken> taken;
    if (toStandardOutput)
        taken.emplace();
    FlashCopies copies(options.output, intoDirectory, targets, taken ? &*taken : nullptr);
    QVector<TargetResult> results;
    int interrupted = 0;
    {
        // As for upload: a signal stops the reads, and the report still follows.
        Interruption interruption;
        if (!targets.isEmpty()) {
            std::unique_ptr<QTcpSocket> unused;
            results = uploadToTargets(
                options, QByteArray(), targets, &unused, &interruption,
                [&](UploadSession &session) { copies.readBy(session, options.board, true); });
            copies.note(results);
        }
        results += failures;
        printUploadResults(options, results);
        interrupted = interruption.exitStatus();
    }
    if (interrupted != 0)
        return interrupted;
    const bool allSucceeded = !results.isEmpty()
        && std::all_of(results.begin(), results.end(),
                       [](const TargetResult &result) { return result.succeeded(); });
    return allSucceeded ? kExitSuccess : kExitFailure;
}

int runRename(const Options &options)
{
    const QString target = bracketedAddress(options.renameAddress) + QLatin1Char(':')
        + QString::number(options.renamePort);
    if (!sendHostName(options.renameAddress, options.renamePort, options.newName)) {
        printError(QStringLiteral("cannot connect to the AT port %1 within %2 s; nothing was sent")
                       .arg(target)
                       .arg(kModuleConnectTimeoutMs / kMsecsPerSecond));
        return kExitFailure;
    }
    printLine(QStringLiteral("Sent %1 to %2.")
                  .arg(QString::fromLatin1(hostNameCommand(options.newName)), target));
    return kExitSuccess;
}

int runCommand(const Options &options)
{
    if (options.version) {
        printText(stdout, versionText());
        return kExitSuccess;
    }
    if (options.help) {
        printText(stdout, usageText(options.command));
        return kExitSuccess;
    }
    switch (options.command) {
    case Command::List:
        return runList(options);
    case Command::Convert:
        return runConvert(options);
    case Command::Locate:
        return runLocate(options);
    case Command::Upload:
        return runUpload(options);
    case Command::Rename:
        return runRename(options);
    case Command::Monitor:
        return runMonitor(options);
    case Command::Proxy:
        return runProxy(options);
    case Command::Read:
        return runRead(options);
    case Command::Station:
        return runStation(options);
    case Command::Discovery:
        return runDiscovery(options);
    case Command::MonitorTool:
        return runMonitorTool(options);
    case Command::InstallPlatform:
        return runInstallPlatform(options);
    case Command::None:
        break;
    }
    printText(stdout, usageText(Command::None));
    return kExitSuccess;
}
