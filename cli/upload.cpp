#include "cli/upload.h"

#include "cli/monitor.h"
#include "cli/output.h"
#include "cli/transfer.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>

namespace {
QString setBackup(Options &options, const QString &value)
{
    return takePath(&options.backupDir, value, "backup");
}

const Option kBackupOption { "--backup DIR", setBackup };
const Option kMonitorOption { "--monitor", setFlag<&Options::monitor> };

int runUpload(const Options &options)
{
    QByteArray image;
    const QString problem = readUploadImage(options, &image);
    if (!problem.isEmpty())
        return refuse(options, kTransferFailureJson, problem, kExitUsage);
    // Before listening: a slip in the options shows at once.
    if (!options.backupDir.isEmpty()
        && (!QDir().mkpath(options.backupDir) || !QFileInfo(options.backupDir).isWritable()))
        return refuse(options, kTransferFailureJson,
                      QStringLiteral("cannot make or write to the backup directory %1; nothing "
                                     "was uploaded")
                          .arg(options.backupDir),
                      kExitUsage);
    QVector<Target> targets;
    QVector<TargetResult> failures;
    if (const std::optional<int> exit = resolveUploadTargets(options, &targets, &failures))
        return *exit;

    std::unique_ptr<QTcpSocket> kept;
    FlashCopies backups(options.backupDir, true, false, targets);
    const Transferred transferred = transfer(
        options, image, targets, failures, options.backupDir.isEmpty() ? nullptr : &backups, &kept);
    if (transferred.interrupted != 0)
        return transferred.interrupted;
    if (transferred.allSucceeded() && kept)
        return runMonitorOn(kept.release(), monitorLabel(targets.first()), options);
    return transferred.allSucceeded() ? kExitSuccess : kExitFailure;
}
} // namespace

const CommandEntry kUploadCommand {
    Command::Upload,
    "upload",
    "upload a HEX file to one or many boards at once",
    QStringLiteral(R"(Usage: rudireze-cli upload FILE.hex --board BOARD [TARGET...]
                            [--name NAME]... [--all-matching] [--all] [--seconds N]
                            [--verify] [--json] [--timeout S]
                            [--monitor [monitor options]]

Converts FILE.hex as the window does and uploads the image to every target
at the same time, one worker each, with the window's upload engine.

)"),
    15,
    { { &kTargetArgument,
        QStringLiteral("IP:DATAPORT:ATPORT of a module ([IPv6]:DATAPORT:ATPORT)") },
      { &kBoardOption,
        QStringLiteral("UNO (STK500 version 1), MEGA2560, Orvex3 or Orvex0\n"
                       "(STK500 version 2); letter case does not matter; the\n"
                       "image must fit below the board's bootloader: %1 bytes\n"
                       "on the UNO, %2 on the others")
            .arg(applicationSizeText("UNO"), applicationSizeText("MEGA2560")) },
      { &kNameOption,
        QStringLiteral("the module announcing this name (repeatable); listening\n"
                       "stops a second after every name was heard; a name heard\n"
                       "from more than one address is refused") },
      { &kAllMatchingOption, QStringLiteral("every module announcing one of the names") },
      { &kAllOption, QStringLiteral("every module heard announcing itself") },
      { &kSecondsOption,
        QStringLiteral("how long to listen for --name and --all (default %1)")
            .arg(listenSecondsText()) },
      { &kBackupOption,
        QStringLiteral("before writing, in the same bootloader session, read each\n"
                       "board's program as \"read\" does into\n"
                       "DIR/<name or address>-<date>-<time>.hex; a board whose copy\n"
                       "cannot be kept is not written") },
      { &kVerifyOption,
        QStringLiteral("after writing, read the flash back before leaving\n"
                       "programming mode and compare it with the image; a\n"
                       "difference fails the target and its first address is shown") },
      { &kJsonOption,
        QStringLiteral("print one result per target instead of the progress\n"
                       "display: {\"results\": [{\"target\", \"address\", \"dataPort\",\n"
                       "\"atPort\", \"name\", \"board\", \"bytes\", \"seconds\", \"status\",\n"
                       "\"verified\", \"firstMismatch\", \"error\", \"file\"}], \"succeeded\",\n"
                       "\"failed\"} (\"file\": the --backup copy, or null)\n"
                       "status is one of ok, failed, unreachable, verify-failed,\n"
                       "timeout, not-found, interrupted") },
      { &kTimeoutOption,
        QStringLiteral("stop every upload still running after S seconds (default\n%1)")
            .arg(kDefaultUploadTimeoutSeconds) },
      shownVerboseRow(),
      { &kMonitorOption,
        QStringLiteral("one target only: after a successful upload, keep its data\n"
                       "connection and go on as \"rudireze-cli monitor\", so the new\n"
                       "program's first lines are not missed; takes monitor's\n"
                       "--until, --eol, --timestamp and --hex, and --seconds then\n"
                       "bounds the monitoring (--name listens for %1 s); the exit\n"
                       "status is then the monitor's")
            .arg(listenSecondsText()) },
      { &kUntilOption, QString() },
      { &kEolOption, QString() },
      { &kTimestampOption, QString() },
      { &kHexOption, QString() },
      helpRow() },
    QStringLiteral(R"(
On a terminal each target has a line with a bar and a percentage (when they
all fit on the screen), cut to the terminal's width; otherwise plain lines
are printed as the uploads go on. Each line names the target by its
announced name when it has one. A summary follows. With --json, a failure
before any upload (a HEX file that gives no image, a usage error) is a JSON
object too: "results" empty and "error" the message.

SIGINT (Ctrl-C), SIGTERM or SIGHUP stops the uploads still under way; the
summary (or the JSON) follows with those marked interrupted, and the exit
status is 130, 143 or 129. A second signal ends the program at once.

Exit status: 0 when every target succeeded, 1 when any failed (or none was
found), 2 for a usage error, a HEX file that gives no image for the board or
a --name heard from more than one address (nothing is uploaded then), 128 +
the signal's number when one interrupted it.
)"),
    transferPositionals,
    kTransferFailureJson,
    runUpload,
};
