#pragma once

// What upload and read share: how their arguments are read, the targets they
// find, the sessions that write or read the boards, and their report.

#include "cli/commandentry.h"
#include "cli/options.h"
#include "cli/uploadsession.h"

#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>
#include <vector>

class QTcpSocket;
class StandardOutputTaken;

// The HEX file (upload), then the targets.
QString transferPositionals(const CommandEntry &command, Options &options, QStringList arguments);
// What upload and read print on standard output with --json when they fail
// before any result.
constexpr char kTransferFailureJson[] = R"({"results": [], "succeeded": 0, "failed": 0})";

// The targets given, and those that --name and --all pick from the
// announcements (names not heard become failures); or the exit status.
std::optional<int> resolveUploadTargets(const Options &options, QVector<Target> *targets,
                                        QVector<TargetResult> *failures);

// Keeps each target's flash in its own file as it is read, on the workers'
// threads: into `output` itself (standard output when `standardOutput` is
// given), or, when it is a directory, into a file named after the target and
// the time of the read. With `readOnly` the boards are only read.
struct FlashCopies
{
    FlashCopies(const QString &output, bool intoDirectory, bool readOnly,
                const QVector<Target> &targets,
                const StandardOutputTaken *standardOutput = nullptr);

    QString keep(int index, const QByteArray &flash, qint64 *kept);
    // Has every worker of the session read the application area of the
    // board's flash into these copies.
    void readBy(UploadSession &session, const Options &options);
    // Into the results, once the workers have ended.
    void note(QVector<TargetResult> &results) const;

    const QString output;
    const bool intoDirectory;
    const bool readOnly;
    const StandardOutputTaken *const standardOutput;
    const QStringList stems;
    // One element per target, each written by that target's worker alone.
    std::vector<QString> files;
};

// Writes `image` into every target at once (or, with read-only `copies`,
// only reads them), with the progress display the output calls for, and
// prints the report. SIGINT, SIGTERM or SIGHUP stops those still under way,
// and the report still follows. With --monitor, *kept takes the data
// connection of the target.
struct Transferred
{
    QVector<TargetResult> results;
    // The interruption's exit status, 0 when none came.
    int interrupted = 0;

    bool allSucceeded() const;
};
Transferred transfer(const Options &options, const QByteArray &image,
                     const QVector<Target> &targets, const QVector<TargetResult> &failures,
                     FlashCopies *copies, std::unique_ptr<QTcpSocket> *kept);
