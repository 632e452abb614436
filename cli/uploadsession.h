#pragma once

#include "cli/options.h"
#include "cli/progressview.h"
#include "upload/uploadrunner.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>
#include <optional>
#include <vector>

class QTcpSocket;
class Thread;

enum class TargetStatus { Ok, Failed, Unreachable, VerifyFailed, TimedOut, NotFound, Interrupted };

// ok, failed, unreachable, verify-failed, timeout, not-found, interrupted
QString statusText(TargetStatus status);

// What became of one target.
struct TargetResult
{
    Target target;
    QString board;
    qint64 bytes = 0;
    double seconds = 0.0;
    TargetStatus status = TargetStatus::Failed;
    bool verified = false;
    // Byte address of the first difference the read-back found; -1: none.
    qint64 firstMismatch = -1;
    QString error;
    // Where the flash read from the board was kept (read, upload --backup).
    QString file;

    bool succeeded() const { return status == TargetStatus::Ok; }
};

// Uploads one image to many modules at once, one upload worker (the window's
// Thread) each, and follows them on the progress display until every one
// has ended or the time limit has passed.
class UploadSession : public QObject
{
    Q_OBJECT

public:
    // How often the terminal display is drawn again.
    static constexpr int kRedrawIntervalMs = 100;

    UploadSession(const QByteArray &image, const Board &board, bool verify, int timeoutMs,
                  ProgressView &view);
    ~UploadSession() override;

    // Starts a worker for every target and returns at once; ended() follows
    // for each target as it ends, at the latest a moment after the time limit.
    void start(const QVector<Target> &targets);
    // start(), then waits until every target has ended. The results in the
    // order of the targets.
    QVector<TargetResult> run(const QVector<Target> &targets);
    QVector<TargetResult> results() const;
    // Stops every upload still under way (`why` names the cause, a signal);
    // their targets end as interrupted, at the latest kWorkerStopGraceMs
    // later, and run() then returns.
    void interrupt(const QString &why);

    // Before run(): each worker hands its data connection over instead of
    // closing it. After run(): the connection of a target, or nullptr; the
    // caller owns it.
    void setKeepDataConnection(bool on) { keepDataConnection = on; }
    // Before run(): every worker reads the first `bytes` of flash before it
    // writes and hands them to `keep` with the target's index, on its own
    // thread; a text returned fails the target. With `readOnly` nothing is
    // written, the session's image goes unused, and a target's bytes are
    // those the keeper says it kept (*kept; the flash's size if it says none).
    using FlashKeeper = std::function<QString(int index, const QByteArray &flash, qint64 *kept)>;
    void setFlashReading(qint64 bytes, const FlashKeeper &keep, bool readOnly);
    QTcpSocket *takeDataSocket(int index);

signals:
    void ended(int index);

private:
    struct Worker
    {
        Thread *thread = nullptr;
        TargetResult result;
        QElapsedTimer clock;
        bool connectFailed = false;
        bool finalSeen = false;
        bool finalComplete = false;
        bool timedOut = false;
        bool interrupted = false;
        bool done = false;
    };

    void report(int index, int status, float progress);
    void workerEnded(int index);
    void abandonStuckWorkers();
    void stopRunning();
    bool allDone() const;

    // What every target's upload asks for; each worker gets its module and
    // its index as its row.
    UploadRequest request;
    bool keepDataConnection = false;
    FlashKeeper keepFlash;
    // One element per target, each written by that target's worker alone
    // before it ends.
    std::vector<qint64> keptBytes;
    int timeoutMs = 0;
    ProgressView &view;
    QVector<Worker> workers;
    QString interruptedBy;
    QTimer redraw;
    QTimer limit;
    QTimer giveUp;
};

// What the progress lines call each target: its announced name where the
// name is known and no other target has it, else IP:DATAPORT:ATPORT.
QVector<QString> targetLabels(const QVector<Target> &targets);

// The image of the command line's HEX file into *image; or why it cannot be
// uploaded to the board (nothing is then to be uploaded).
QString readUploadImage(const Options &options, QByteArray *image);
