#include "upload/uploadrunner.h"

#include "upload/athandshake.h"
#include "upload/boards.h"
#include "upload/moduleopen.h"
#include "upload/uploadlog.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {
// A bootloader just reset answers its greeting within milliseconds; the
// probe for the other protocol needs no more than this.
constexpr int kOtherGreetingWaitMs = 2000;

quint16 portOf(const QString &text)
{
    // Only the low 16 bits of the number count; a text that is no number is port 0.
    return static_cast<quint16>(text.toInt(nullptr, 10));
}

void closeSocket(QTcpSocket *&socket)
{
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->close();
    delete socket;
    socket = nullptr;
}

QString spaced(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
} // namespace

QString hexAddress(qint64 address)
{
    return QStringLiteral("0x%1").arg(address, 4, 16, QLatin1Char('0'));
}

qint64 firstDifference(const QByteArray &expected, const QByteArray &actual)
{
    const int length = qMin(expected.size(), actual.size());
    for (int i = 0; i < length; ++i) {
        if (expected.at(i) != actual.at(i))
            return i;
    }
    return -1;
}

ReplyVerdict judgeSignature(const QByteArray &signature, const char *expected,
                            const QString &boardType)
{
    const QByteArray due = expected ? QByteArray(expected, kSignatureBytes) : signature;
    if (signature == due)
        return ReplyVerdict { true, QString() };
    return ReplyVerdict { false,
                          QStringLiteral("the board's signature is %1, not %2 of a %3")
                              .arg(signature.isEmpty() ? QStringLiteral("unreadable")
                                                       : spaced(signature),
                                   spaced(due), boardType) };
}

QString UploadOutcome::failure_text() const
{
    if (unreached)
        return failure.isEmpty() ? QStringLiteral("the module could not be reached") : failure;
    if (mismatch_address >= 0)
        return QStringLiteral("the flash differs from the image at byte 0x%1")
            .arg(mismatch_address, 4, 16, QLatin1Char('0'));
    return failure.isEmpty() ? QStringLiteral("the upload ended without a result") : failure;
}

UploadRunner::UploadRunner(const UploadRequest &request, UploadOutcome &outcome,
                           const UploadReporter &report)
    : request(request)
    , board(*request.board)
    , outcome(outcome)
    , report(report)
{
    Q_ASSERT(request.board); // Thread starts no runner without one
}

UploadRunner::~UploadRunner()
{
    close_module();
}

void UploadRunner::run()
{
    QElapsedTimer clock;
    clock.start();
    const auto finish = [&](int status, float progress) {
        outcome.run_ms = clock.elapsed();
        report(status, progress);
    };
    if (request.read_only) {
        outcome.total_bytes = request.read_bytes;
    } else if (!take_image()) {
        finish(UPDATE_FINISHED, 0.0f);
        return;
    }
    const ModuleOpening opened = open_module();
    if (opened.failed == ModuleOpening::Failure::DataPort
        || opened.failed == ModuleOpening::Failure::AtPort) {
        close_module();
        outcome.unreached = true;
        finish(UPDATE_CONNECT_FAILED, 1.0f);
        return;
    }
    // A board that was not reset ends the run as a failed upload too.
    bool accepted = false;
    if (opened.ok()) {
        accepted = enter(opened.stray) && program();
    } else {
        outcome.unreached = !outcome.at_refused;
        report(UPDATE_CONNECT_FAILED, 1.0f);
    }
    close_module();
    // Success needs both: every page taken from the image and every page accepted.
    const bool complete = accepted && verify_passed && bytes_read == outcome.total_bytes;
    if (complete)
        outcome.failure.clear();
    finish(UPDATE_FINISHED, complete ? 1.0f : 0.0f);
}

bool UploadRunner::take_image()
{
    if (!request.image_failure.isEmpty()) {
        note_failure(request.image_failure);
        return false;
    }
    outcome.total_bytes = request.image.size();
    qCDebug(lcUpload) << "TotalBytes =" << outcome.total_bytes;
    return image_fits();
}

bool UploadRunner::image_fits()
{
    // The flash below the bootloader, not the whole flash: the image's last
    // page must never land on the bootloader's first.
    const qint64 size = outcome.total_bytes;
    const qint64 capacity = board.applicationSize;
    if (size > 0 && size <= capacity)
        return true;
    if (request.image_refused)
        request.image_refused(size);
    if (size == 0)
        note_failure(QStringLiteral("the image is empty"));
    else
        note_failure(QStringLiteral("the image (%1 bytes) is larger than the %2 bytes below the "
                                    "bootloader of a %3 board")
                         .arg(size)
                         .arg(capacity)
                         .arg(QLatin1String(board.name)));
    return false;
}

ModuleOpening UploadRunner::open_module()
{
    at_socket = new QTcpSocket;
    data_socket = new QTcpSocket;
    data = data_socket;
    qCDebug(lcUpload) << "current_ip =" << request.host_ip << request.data_port << request.at_port;
    const ModuleOpening opened
        = openModule(data_socket, at_socket, request.host_ip, portOf(request.data_port),
                     portOf(request.at_port), board.resetFamily);
    switch (opened.failed) {
    case ModuleOpening::Failure::None:
        break;
    case ModuleOpening::Failure::DataPort:
        logSystemError("connect data server error");
        note_failure(QStringLiteral("cannot connect to data port %1: %2")
                         .arg(request.data_port, data_socket->errorString()));
        break;
    case ModuleOpening::Failure::AtPort:
        logSystemError("connect at server error");
        note_failure(QStringLiteral("cannot connect to AT port %1: %2")
                         .arg(request.at_port, at_socket->errorString()));
        // Closed now, so that close_module() does not keep it for a receiver.
        QObject::disconnect(data_socket, nullptr, nullptr, nullptr);
        data_socket->close();
        break;
    case ModuleOpening::Failure::Handshake:
        outcome.at_refused = opened.handshake.refused;
        note_failure(opened.handshake.failure);
        break;
    }
    return opened;
}

void UploadRunner::close_module()
{
    if (request.data_receiver && data_socket
        && data_socket->state() == QAbstractSocket::ConnectedState) {
        data_socket->moveToThread(request.data_receiver);
        outcome.data_socket = data_socket;
        data_socket = nullptr;
    }
    // The sockets belong to this thread; they go with the run.
    closeSocket(data_socket);
    closeSocket(at_socket);
}

bool UploadRunner::collect_reply(const StkCommand &command, ReplyEnd end,
                                 const QDeadlineTimer &budget, QByteArray *reply)
{
    const StepResult result = awaitReply(data, command, end, budget);
    if (reply)
        *reply = result.reply;
    if (!result.ok)
        note_step_failure(command, result);
    return result.ok;
}

bool UploadRunner::send_step(const StkCommand &command, QByteArray *reply)
{
    sendCommand(data, command);
    return collect_reply(command, ReplyEnd::Alone, replyBudget(command), reply);
}

bool UploadRunner::send_or_log(const StkCommand &command, const char *text)
{
    if (send_step(command))
        return true;
    logSystemError(text);
    return false;
}

int UploadRunner::send_together(const QList<StkCommand> &commands)
{
    const QList<StepResult> results = transactTogether(data, commands);
    const int judged = static_cast<int>(results.size());
    if (results.last().ok)
        return judged;
    note_step_failure(commands.at(judged - 1), results.last());
    return judged - 1;
}

bool UploadRunner::send_leave(const StkCommand &command)
{
    sendCommand(data, command);
    return collect_reply(command, ReplyEnd::Followed, replyBudget(command));
}

void UploadRunner::note_step_failure(const StkCommand &command, const StepResult &result)
{
    const QString step = QStringLiteral("the %1 command (image offset %2)")
                             .arg(step_name(command.bytes))
                             .arg(file_offset);
    if (result.connectionClosed)
        note_failure(QStringLiteral("the module closed the data connection during %1").arg(step));
    else if (result.reply.isEmpty())
        note_failure(QStringLiteral("no reply of %1 bytes to %2").arg(command.expected).arg(step));
    else
        note_failure(QStringLiteral("wrong reply to %1: %2").arg(step, result.reason));
    qCDebug(lcUpload) << "step failed:" << outcome.failure;
}

bool UploadRunner::signature_matches(const QByteArray &signature)
{
    const ReplyVerdict verdict
        = judgeSignature(signature, board.signature, QLatin1String(board.name));
    if (!verdict.ok) {
        note_failure(verdict.reason);
        qCDebug(lcUpload) << "step failed:" << outcome.failure;
    }
    return verdict.ok;
}

void UploadRunner::name_other_board(const QByteArray &reply)
{
    // A run asked to stop has no time for a second handshake.
    if (QThread::currentThread()->isInterruptionRequested())
        return;
    // A reply that begins as the chosen protocol's do comes from a bootloader
    // that speaks it, whatever else went wrong.
    if (!reply.isEmpty() && in_protocol(reply))
        return;
    const StkVersion chosen = board.protocol;
    const auto other = std::find_if(boards().begin(), boards().end(),
                                    [chosen](const Board &b) { return b.protocol != chosen; });
    if (other == boards().end() || other_greeting.bytes.isEmpty())
        return;
    // The wrong greeting may have left the bootloader out of step or made it
    // restart into the program (optiboot does): reset the board afresh, as
    // the other family is reset, before asking in its protocol.
    if (!moduleHandshake(at_socket, other->resetFamily).ok)
        return;
    drainResetOutput(data);
    StkCommand greeting = other_greeting;
    greeting.tries = 1;
    greeting.waitMs = kOtherGreetingWaitMs;
    if (!transact(data, greeting).ok)
        return;
    const QString name = QString::fromLatin1(other->name);
    const bool vowel = QStringLiteral("AEIOU").contains(name.at(0));
    note_failure(QStringLiteral("the board answered like %1 %2 (STK500 version %3): choose %2")
                     .arg(vowel ? QStringLiteral("an") : QStringLiteral("a"), name)
                     .arg(other->protocol == StkVersion::V1 ? 1 : 2));
    qCDebug(lcUpload) << "wrong board type:" << outcome.failure;
}

int UploadRunner::read_image_page(int page_size)
{
    page = request.image.mid(file_offset, page_size);
    bytes_read += page.size();
    report(UPDATE_PROGRESS,
           static_cast<float>(static_cast<double>(bytes_read)
                              / static_cast<double>(outcome.total_bytes)));
    return page.size();
}

bool UploadRunner::program()
{
    if (!read_and_keep_flash())
        return false;
    if (!request.read_only) {
        // A short page is the image's last.
        const int page_size = board.pageSize;
        for (int count = read_image_page(page_size); count > 0;
             count = read_image_page(page_size)) {
            if (!write_page(page))
                return false;
            file_offset += count;
            if (count < page_size)
                break;
        }
    }
    verify_and_leave();
    return true;
}

void UploadRunner::verify_and_leave()
{
    // A full last page also needs the leave, or the new program never starts.
    verify_image();
    // The leave's outcome is no failure of the upload, and must not hide one
    // that the read-back found. The new program may start talking right
    // behind the reply: that is no surplus of the reply, and stays unread.
    const QString noted = outcome.failure;
    leave();
    outcome.failure = noted;
}

ReadBackProgress UploadRunner::progress_reporter(int status, qint64 whole) const
{
    return [this, status, whole](qint64 done) {
        report(status, static_cast<float>(static_cast<double>(done) / static_cast<double>(whole)));
    };
}

void UploadRunner::verify_image()
{
    if (!request.verify)
        return;
    const FlashComparison result = verify_flash(
        data, request.image, progress_reporter(UPDATE_VERIFY_PROGRESS, outcome.total_bytes));
    verify_passed = result.matches(outcome.total_bytes);
    outcome.mismatch_address = result.firstMismatch;
    if (result.firstMismatch >= 0) {
        note_failure(QStringLiteral("verification failed: the flash differs from the image at "
                                    "byte 0x%1")
                         .arg(result.firstMismatch, 4, 16, QLatin1Char('0')));
    } else if (!verify_passed) {
        note_failure(QStringLiteral("verification failed: ") + result.error);
    }
}

bool UploadRunner::read_and_keep_flash()
{
    if (request.read_bytes <= 0)
        return true;
    const FlashRead result = read_flash(
        data, request.read_bytes, progress_reporter(UPDATE_READ_PROGRESS, request.read_bytes));
    if (!result.error.isEmpty()) {
        note_failure(QStringLiteral("reading the flash failed: ") + result.error);
        return false;
    }
    const QString refused = request.keep_flash ? request.keep_flash(result.flash) : QString();
    if (!refused.isEmpty()) {
        note_failure(refused);
        return false;
    }
    if (request.read_only)
        bytes_read = outcome.total_bytes;
    return true;
}

QString UploadRunner::read_pages(qint64 size,
                                 const std::function<bool(qint64, const QByteArray &)> &take)
{
    const int page_size = board.pageSize;
    for (qint64 offset = 0; offset < size; offset += page_size) {
        const int count = static_cast<int>(qMin<qint64>(page_size, size - offset));
        QByteArray read;
        const QString error = read_page(offset, count, &read);
        if (!error.isEmpty())
            return error;
        if (!take(offset, read))
            break;
    }
    return QString();
}

FlashComparison UploadRunner::verify_flash(QIODevice *device, const QByteArray &image,
                                           const ReadBackProgress &progress)
{
    data = device;
    FlashComparison result;
    result.error = read_pages(image.size(), [&](qint64 offset, const QByteArray &read) {
        const qint64 difference
            = firstDifference(image.mid(static_cast<int>(offset), read.size()), read);
        if (difference >= 0) {
            result.firstMismatch = offset + difference;
            return false;
        }
        result.bytesCompared = offset + read.size();
        if (progress)
            progress(result.bytesCompared);
        return true;
    });
    return result;
}

FlashRead UploadRunner::read_flash(QIODevice *device, qint64 size, const ReadBackProgress &progress)
{
    data = device;
    FlashRead result;
    result.error = read_pages(size, [&](qint64, const QByteArray &read) {
        result.flash += read;
        if (progress)
            progress(result.flash.size());
        return true;
    });
    return result;
}

void UploadRunner::note_failure(const QString &reason)
{
    // The last one is what ended the run: earlier ones did not stop it.
    outcome.failure = reason;
}
