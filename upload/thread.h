#pragma once

#include "upload/uploadrunner.h"

#include <QList>
#include <QString>
#include <QThread>

class QTcpSocket;

// The worker: one upload of one board on a thread of its own, run by the
// runner of the board's STK500 generation. Reports leave only through
// updateover, whose status is an UploadStatus.
class Thread : public QThread, public UploadStatus
{
    Q_OBJECT

public:
    explicit Thread(const UploadRequest &request);

    // The module this worker talks to; reports are matched to rows by it.
    const QString &module_ip() const { return request.host_ip; }
    bool verifying() const { return request.verify; }
    // Once the run has ended, the data connection kept for the request's
    // receiver; the caller then owns it.
    QTcpSocket *take_data_socket();

    // Once the run has ended: why it failed (empty when it succeeded), and
    // the byte address of the first difference the read-back found (-1: none).
    const QString &failure_reason() const { return outcome.failure; }
    qint64 first_mismatch() const { return outcome.mismatch_address; }
    // The module answered the AT handshake but refused it (a single byte or
    // ERROR), as against not being reached or staying silent.
    bool handshake_refused() const { return outcome.at_refused; }
    // Once the run has ended, in the words every front end shows: why it
    // failed, and what a success did.
    QString failure_text() const { return outcome.failure_text(); }
    static QString success_text(qint64 bytes, double seconds, bool verified);
    // The size of the image and the run's length, once it has ended.
    qint64 image_bytes() const { return outcome.total_bytes; }
    double run_seconds() const;

signals:
    void updateover(int row, int status, float progress);

protected:
    void run() override;

private:
    const UploadRequest request;
    UploadOutcome outcome;
};

// How long a worker asked to stop may take: longer than its longest wait
// that cannot be cut short (a connect, kModuleConnectTimeoutMs).
constexpr int kWorkerStopGraceMs = 5000;

// Asks every worker to stop, waits for each at most kWorkerStopGraceMs and
// deletes those that ended. A worker that would not stop is left to the end
// of the process: destroying a running thread would take the process down.
void stopAndDeleteWorkers(const QList<Thread *> &workers);
