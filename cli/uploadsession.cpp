#include "cli/uploadsession.h"

#include "cli/output.h"
#include "firmware/hexconversion.h"
#include "upload/boards.h"
#include "upload/thread.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

QString statusText(TargetStatus status)
{
    switch (status) {
    case TargetStatus::Ok:
        return QStringLiteral("ok");
    case TargetStatus::Failed:
        return QStringLiteral("failed");
    case TargetStatus::Unreachable:
        return QStringLiteral("unreachable");
    case TargetStatus::VerifyFailed:
        return QStringLiteral("verify-failed");
    case TargetStatus::TimedOut:
        return QStringLiteral("timeout");
    case TargetStatus::NotFound:
        return QStringLiteral("not-found");
    case TargetStatus::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}

UploadSession::UploadSession(const QByteArray &image, const Board &board, bool verify,
                             int timeoutMs, ProgressView &view)
    : timeoutMs(timeoutMs)
    , view(view)
{
    request.image = image;
    request.board = &board;
    request.verify = verify;
}

UploadSession::~UploadSession()
{
    stopRunning();
    QList<Thread *> threads;
    for (Worker &worker : workers) {
        if (!worker.thread)
            continue;
        disconnect(worker.thread, nullptr, this, nullptr);
        threads.append(worker.thread);
    }
    stopAndDeleteWorkers(threads);
}

void UploadSession::setFlashReading(qint64 bytes, const FlashKeeper &keep, bool readOnly)
{
    request.read_bytes = bytes;
    keepFlash = keep;
    request.read_only = readOnly;
}

QVector<QString> targetLabels(const QVector<Target> &targets)
{
    QVector<QString> labels;
    for (const Target &target : targets) {
        const bool unique = std::count_if(targets.begin(), targets.end(),
                                          [&](const Target &t) { return t.name == target.name; })
            == 1;
        labels << (target.name.isEmpty() ? target.text()
                       : unique
                       ? target.name
                       : target.name + QStringLiteral(" (") + target.text() + QLatin1Char(')'));
    }
    return labels;
}

void UploadSession::start(const QVector<Target> &targets)
{
    workers.resize(targets.size());
    keptBytes.assign(size_t(targets.size()), -1);
    for (int index = 0; index < targets.size(); ++index) {
        Worker &worker = workers[index];
        worker.result.target = targets.at(index);
        worker.result.board = QLatin1String(request.board->name);
        worker.result.bytes = request.read_only ? request.read_bytes : request.image.size();
    }
    view.start(targetLabels(targets));

    for (int index = 0; index < workers.size(); ++index) {
        Worker &worker = workers[index];
        UploadRequest asked = request;
        asked.at_port = QString::number(worker.result.target.atPort);
        asked.data_port = QString::number(worker.result.target.dataPort);
        asked.host_ip = worker.result.target.address;
        asked.row = index;
        if (asked.read_bytes > 0) {
            const FlashKeeper keep = keepFlash;
            qint64 *kept = &keptBytes[size_t(index)];
            asked.keep_flash
                = [keep, index, kept](const QByteArray &flash) { return keep(index, flash, kept); };
        }
        if (keepDataConnection)
            asked.data_receiver = QThread::currentThread();
        worker.thread = new Thread(asked);
        // Reports and the end arrive queued, in the order the worker sent them.
        connect(worker.thread, &Thread::updateover, this,
                [this](int row, int status, float progress) { report(row, status, progress); });
        connect(worker.thread, &QThread::finished, this, [this, index] { workerEnded(index); });
    }
    for (Worker &worker : workers) {
        worker.clock.start();
        worker.thread->start(QThread::InheritPriority);
    }

    connect(&redraw, &QTimer::timeout, this, [this] { view.redraw(); });
    redraw.start(kRedrawIntervalMs);
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, this, [this] { stopRunning(); });
    limit.start(timeoutMs);
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, this, [this] { abandonStuckWorkers(); });
    giveUp.start(timeoutMs + kWorkerStopGraceMs);
}

QVector<TargetResult> UploadSession::run(const QVector<Target> &targets)
{
    start(targets);
    QEventLoop loop;
    connect(this, &UploadSession::ended, &loop, [this, &loop] {
        if (allDone())
            loop.quit();
    });
    if (!workers.isEmpty() && !allDone())
        loop.exec();
    view.redraw();
    for (Worker &worker : workers)
        disconnect(worker.thread, nullptr, this, nullptr);
    return results();
}

QVector<TargetResult> UploadSession::results() const
{
    QVector<TargetResult> results;
    for (const Worker &worker : workers)
        results << worker.result;
    return results;
}

void UploadSession::abandonStuckWorkers()
{
    // Workers that did not end even after being asked to stop.
    for (int index = 0; index < workers.size(); ++index) {
        Worker &worker = workers[index];
        if (worker.done)
            continue;
        worker.done = true;
        worker.result.seconds = worker.clock.elapsed() / kMsecsPerSecond;
        if (worker.interrupted) {
            worker.result.status = TargetStatus::Interrupted;
            worker.result.error
                = QStringLiteral("interrupted by %1, and the upload did not stop when asked")
                      .arg(interruptedBy);
        } else {
            worker.result.status = TargetStatus::TimedOut;
            worker.result.error
                = QStringLiteral("no result within %1 s, and the upload did not stop when asked")
                      .arg(timeoutMs / kMsecsPerSecond);
        }
        view.finish(index, false, worker.result.error);
        emit ended(index);
    }
}

QTcpSocket *UploadSession::takeDataSocket(int index)
{
    if (index < 0 || index >= workers.size() || !workers[index].done || !workers[index].thread
        || workers[index].thread->isRunning())
        return nullptr;
    return workers[index].thread->take_data_socket();
}

void UploadSession::report(int index, int status, float progress)
{
    if (index < 0 || index >= workers.size())
        return;
    Worker &worker = workers[index];
    switch (status) {
    case Thread::UPDATE_CONNECT_FAILED:
        worker.connectFailed = true;
        break;
    case Thread::UPDATE_FINISHED:
        worker.finalSeen = true;
        worker.finalComplete = progress == 1.0f;
        break;
    case Thread::UPDATE_PROGRESS:
        view.update(index, UploadPhase::Writing, progress);
        break;
    case Thread::UPDATE_READ_PROGRESS:
        view.update(index, UploadPhase::Reading, progress);
        break;
    case Thread::UPDATE_VERIFY_PROGRESS:
        view.update(index, UploadPhase::Verifying, progress);
        break;
    default:
        break;
    }
}

void UploadSession::workerEnded(int index)
{
    Worker &worker = workers[index];
    if (worker.done)
        return;
    worker.done = true;
    // The thread is on its way out once it has said so.
    worker.thread->wait(kWorkerStopGraceMs);
    TargetResult &result = worker.result;
    result.seconds = worker.clock.elapsed() / kMsecsPerSecond;
    result.firstMismatch = worker.thread->first_mismatch();
    const QString reason = worker.thread->failure_reason();

    // What was kept of a flash read, not the flash read, is what the summary counts.
    if (request.read_only && keptBytes[size_t(index)] >= 0)
        result.bytes = keptBytes[size_t(index)];
    if (worker.finalSeen && worker.finalComplete && !worker.connectFailed) {
        result.status = TargetStatus::Ok;
        result.verified = request.verify;
    } else if (worker.interrupted) {
        // What the stopped step noted is the stop itself, no fault of the module.
        result.status = TargetStatus::Interrupted;
        result.error = QStringLiteral("interrupted by %1; stopped").arg(interruptedBy);
    } else if (worker.timedOut) {
        result.status = TargetStatus::TimedOut;
        result.error
            = QStringLiteral("no result within %1 s; stopped").arg(timeoutMs / kMsecsPerSecond);
        if (!reason.isEmpty())
            result.error += QStringLiteral(" (") + reason + QLatin1Char(')');
    } else if (worker.connectFailed && !worker.thread->handshake_refused()) {
        result.status = TargetStatus::Unreachable;
        result.error = worker.thread->failure_text();
    } else {
        // The window shows the same words on the module's row.
        result.status
            = result.firstMismatch >= 0 ? TargetStatus::VerifyFailed : TargetStatus::Failed;
        result.error = worker.thread->failure_text();
    }

    const QString note = result.succeeded()
        ? Thread::success_text(result.bytes, result.seconds, result.verified)
        : result.error;
    view.finish(index, result.succeeded(), note);
    emit ended(index);
}

void UploadSession::interrupt(const QString &why)
{
    if (!interruptedBy.isEmpty())
        return;
    interruptedBy = why;
    for (Worker &worker : workers) {
        if (worker.thread && !worker.done) {
            worker.interrupted = true;
            worker.thread->requestInterruption();
        }
    }
    // Those that do not end when asked are given up on after the grace, not
    // only at the time limit.
    if (giveUp.isActive() && giveUp.remainingTime() > kWorkerStopGraceMs)
        giveUp.start(kWorkerStopGraceMs);
}

void UploadSession::stopRunning()
{
    for (Worker &worker : workers) {
        if (worker.thread && !worker.done) {
            worker.timedOut = true;
            worker.thread->requestInterruption();
        }
    }
}

bool UploadSession::allDone() const
{
    return std::all_of(workers.begin(), workers.end(), [](const Worker &w) { return w.done; });
}

QString readUploadImage(const Options &options, QByteArray *image)
{
    const ImageFileConversion conversion = convertHexFile(options.file, image);
    if (!conversion.ok())
        return conversion.message + QStringLiteral("; nothing was uploaded");
    // What lies above this belongs to the bootloader.
    const qint64 capacity = options.board->applicationSize;
    if (image->size() > capacity)
        return QStringLiteral("%1 gives a %2-byte image, larger than the %3 bytes below the "
                              "bootloader of a %4 board; nothing was uploaded")
            .arg(options.file)
            .arg(image->size())
            .arg(capacity)
            .arg(options.boardName());
    return QString();
}
