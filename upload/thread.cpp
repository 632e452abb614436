#include "upload/thread.h"

#include "upload/boards.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/uploadlog.h"

#include <memory>

namespace {
constexpr double kMsecsPerSecond = 1000.0;

// The runner of the generation the board speaks, told the other's greeting.
std::unique_ptr<UploadRunner> runnerFor(const UploadRequest &request, UploadOutcome &outcome,
                                        const UploadReporter &report)
{
    std::unique_ptr<UploadRunner> runner;
    if (request.board->protocol == StkVersion::V1) {
        runner = std::make_unique<Stk500v1Upload>(request, outcome, report);
        runner->set_other_greeting(stk500v2::signOn(1));
    } else {
        runner = std::make_unique<Stk500v2Upload>(request, outcome, report);
        runner->set_other_greeting(stk500v1::getSync());
    }
    return runner;
}
} // namespace

Thread::Thread(const UploadRequest &request)
    : request(request)
{
}

QTcpSocket *Thread::take_data_socket()
{
    QTcpSocket *socket = outcome.data_socket;
    outcome.data_socket = nullptr;
    return socket;
}

void Thread::run()
{
    // Any other board type: nothing is opened, sent or reported.
    if (!request.board)
        return;
    runnerFor(request, outcome, [this](int status, float progress) {
        emit updateover(request.row, status, progress);
    })->run();
}

QString Thread::success_text(qint64 bytes, double seconds, bool verified)
{
    return QStringLiteral("%1 bytes in %2 s%3")
        .arg(bytes)
        .arg(seconds, 0, 'f', 1)
        .arg(verified ? QStringLiteral(", verified") : QString());
}

double Thread::run_seconds() const
{
    return static_cast<double>(outcome.run_ms) / kMsecsPerSecond;
}

void stopAndDeleteWorkers(const QList<Thread *> &workers)
{
    // Every wait of a worker checks this between its short slices.
    for (Thread *thread : workers)
        thread->requestInterruption();
    for (Thread *thread : workers) {
        if (thread->wait(kWorkerStopGraceMs))
            delete thread;
        else
            qCWarning(lcUpload,
                      "An upload did not stop in time; its worker is left to the process's end.");
    }
}
