#include "cli/read.h"

#include "cli/output.h"
#include "cli/transfer.h"
#include "platform/terminal.h"

#include <QFileInfo>

namespace {
QString setOutput(Options &options, const QString &value)
{
    const QString error = takePath(&options.output, value, "output");
    options.outputGiven = options.outputGiven || error.isEmpty();
    return error;
}

const Option kOutputOption { "-o, --output FILE", setOutput };

int runRead(const Options &options)
{
    const bool toStandardOutput = options.output == kStandardOutputName;
    const bool intoDirectory = !toStandardOutput && QFileInfo(options.output).isDir();
    // Before listening: what can give more than one target, and a file
    // in no folder, are refused at once.
    const bool severalPossible
        = options.all || options.allMatching || options.targets.size() + options.names.size() > 1;
    if (severalPossible && !intoDirectory)
        return refuse(options, kTransferFailureJson,
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
        return refuse(options, kTransferFailureJson,
                      QStringLiteral("cannot write %1: there is no folder %2; nothing was read")
                          .arg(options.output, folder.filePath()),
                      kExitUsage);
    QVector<Target> targets;
    QVector<TargetResult> failures;
    if (const std::optional<int> exit = resolveUploadTargets(options, &targets, &failures))
        return *exit;
    if (targets.size() > 1 && !intoDirectory)
        return refuse(options, kTransferFailureJson,
                      QStringLiteral("%1 targets cannot share the one file %2: give a directory "
                                     "with -o; nothing was read")
                          .arg(targets.size())
                          .arg(options.output),
                      kExitUsage);
    // The copy alone on standard output; the report goes to standard error.
    std::optional<StandardOutputTaken> taken;
    if (toStandardOutput)
        taken.emplace();
    FlashCopies copies(options.output, intoDirectory, true, targets, taken ? &*taken : nullptr);
    const Transferred transferred
        = transfer(options, QByteArray(), targets, failures, &copies, nullptr);
    if (transferred.interrupted != 0)
        return transferred.interrupted;
    return transferred.allSucceeded() ? kExitSuccess : kExitFailure;
}
} // namespace

const CommandEntry kReadCommand {
    Command::Read,
    "read",
    "keep a copy of the program a board holds",
    QStringLiteral(R"(Usage: rudireze-cli read [TARGET...] --board BOARD -o FILE|DIRECTORY
                          [--name NAME]... [--all-matching] [--all] [--seconds N]
                          [--json] [--timeout S]

Reads the program a board holds through its bootloader: the whole
application area (the flash below the bootloader, %1 bytes on an UNO,
%2 on a MEGA2560), without its erased tail, written as Intel HEX, or as
a raw image when FILE ends in ".bin". The file is replaced in one step, and
uploading it puts the program back. Nothing is written to the board.

)")
        .arg(applicationSizeText("UNO"), applicationSizeText("MEGA2560")),
    20,
    { { &kOutputOption,
        QStringLiteral("where the copy goes (\"-\": standard output, the report\n"
                       "then on standard error); with a DIRECTORY, each target's\n"
                       "copy is DIRECTORY/<name or address>-<date>-<time>.hex,\n"
                       "which several targets, --all and --all-matching need") },
      { nullptr,
        QStringLiteral("  TARGET, --board, --name, --all-matching, --all, --seconds, --json,\n"
                       "  --timeout, --verbose   as for upload") },
      { &kBoardOption, QString() },
      { &kNameOption, QString() },
      { &kAllMatchingOption, QString() },
      { &kAllOption, QString() },
      { &kSecondsOption, QString() },
      { &kJsonOption, QString() },
      { &kTimeoutOption, QString() },
      verboseRow(),
      helpRow() },
    QStringLiteral(R"(
SIGINT (Ctrl-C), SIGTERM or SIGHUP stops the reads still under way; the
summary (or the JSON) follows with those marked interrupted. A second signal
ends the program at once.

Exit status: 0 when every target was read and kept, 1 when any failed, 2 for
a usage error, 128 + the signal's number when one interrupted it.
)"),
    transferPositionals,
    kTransferFailureJson,
    runRead,
};
