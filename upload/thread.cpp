#include "upload/thread.h"

#include "common/names.h"
#include "upload/athandshake.h"
#include "upload/boards.h"
#include "upload/flashverify.h"
#include "upload/moduleopen.h"
#include "upload/replyjudge.h"
#include "upload/stepnames.h"
#include "upload/stk500v1.h"
#include "upload/stk500v2.h"
#include "upload/stkstep.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kSyncCommands = 3;
constexpr int kSignatureBytes = 3;
constexpr int kBytesPerWord = 2;
constexpr double kMsecsPerSecond = 1000.0;
// A bootloader just reset answers its greeting within milliseconds; the
// probe for the other protocol needs no more than this.
constexpr int kOtherGreetingWaitMs = 2000;
constexpr quint8 kV1InSync = 0x14; // Resp_STK_INSYNC
constexpr quint8 kV1NoSync = 0x15; // Resp_STK_NOSYNC

// Version 1 parameter queries in the order the bootloader is asked. The
// top-card query is answered by programmers only; a bootloader may stay silent.
struct ParameterQuery
{
    quint8 id;
    const char *failure;
    bool ends_upload;
};
const ParameterQuery kV1Queries[] = {
    { 0x80, "send a 0x80 error", true }, { 0x81, "send A error 0x81", true },
    { 0x82, "send A error 0x82", true }, { 0x98, "send A error 0x98", false },
    { 0x84, "send A error 0x84", true }, { 0x85, "send A error 0x85", true },
    { 0x86, "send A error 0x86", true }, { 0x87, "send A error 0x87", true },
    { 0x89, "send A error 0x89", true }, { 0x81, "send A error 0x81", true },
    { 0x82, "send A error 0x82", true },
};
// The last four bytes of the 1 KiB EEPROM, read through Cmnd_STK_UNIVERSAL.
const quint8 kV1EepromReads[] = { 0xFC, 0xFD, 0xFE, 0xFF };

const quint8 kV2Parameters[] = { stk500v2::kParamHwVersion, stk500v2::kParamSwMajor,
                                 stk500v2::kParamSwMinor, stk500v2::kParamVTarget };

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
} // namespace

Thread::Thread(QString &at_port, QString &data_port, QString &host_ip, int row, QString &board_type)
    : row(row)
    , host_ip(host_ip)
    , at_port(at_port)
    , data_port(data_port)
    , board_type(board_type)
{
}

void Thread::set_image(const QByteArray &bytes)
{
    given_image = bytes;
    image_given = true;
}

void Thread::set_flash_reading(qint64 bytes, const FlashKeeper &keep, bool read_only)
{
    read_bytes = bytes;
    keep_flash = keep;
    this->read_only = read_only;
}

QTcpSocket *Thread::take_data_socket()
{
    QTcpSocket *socket = kept_data_socket;
    kept_data_socket = nullptr;
    return socket;
}

void Thread::run()
{
    // Any other text: nothing is opened, sent or reported.
    board = boardNamed(board_type);
    if (!board)
        return;
    QElapsedTimer clock;
    clock.start();
    run_frame(board->protocol == StkVersion::V1 ? &Thread::upload_stk500v1
                                                : &Thread::upload_stk500v2,
              clock);
}

void Thread::run_frame(Upload upload, const QElapsedTimer &clock)
{
    if (read_only) {
        total_bytes = read_bytes;
    } else if (!open_image() || !image_fits()) {
        run_ms = clock.elapsed();
        emit updateover(row, UPDATE_FINISHED, 0.0f);
        return;
    }
    const ModuleOpening opened = open_module();
    if (opened.failed == ModuleOpening::Failure::DataPort
        || opened.failed == ModuleOpening::Failure::AtPort) {
        close_module();
        unreached = true;
        run_ms = clock.elapsed();
        emit updateover(row, UPDATE_CONNECT_FAILED, 1.0f);
        return;
    }
    // A board that was not reset ends the run as a failed upload too.
    bool accepted = false;
    if (opened.ok()) {
        accepted = (this->*upload)(opened.stray);
    } else {
        unreached = !at_refused;
        emit updateover(row, UPDATE_CONNECT_FAILED, 1.0f);
    }
    close_module();
    // Success needs both: every page taken from the image and every page accepted.
    const bool complete = accepted && verify_passed && bytes_read == total_bytes;
    if (complete)
        failure.clear();
    run_ms = clock.elapsed();
    emit updateover(row, UPDATE_FINISHED, complete ? 1.0f : 0.0f);
}

bool Thread::open_image()
{
    file_offset = 0;
    total_bytes = 0;
    bytes_read = 0;
    seq_num = 0;
    if (image_given) {
        image = given_image;
        total_bytes = image.size();
        qDebug() << "TotalBytes =" << total_bytes;
        return true;
    }
    QFile file(QString::fromLatin1(kImagePath));
    if (!file.open(QIODevice::ReadOnly)) {
        std::perror("open file error");
        note_failure(QStringLiteral("cannot open update.bin: ") + file.errorString());
        return false;
    }
    image = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        std::perror("open file error");
        note_failure(QStringLiteral("cannot read update.bin: ") + file.errorString());
        return false;
    }
    total_bytes = image.size();
    qDebug() << "TotalBytes =" << total_bytes;
    return true;
}

bool Thread::image_fits()
{
    // The flash below the bootloader, not the whole flash: the image's last
    // page must never land on the bootloader's first.
    const qint64 capacity = board->applicationSize;
    if (total_bytes == 0) {
        qWarning("update.bin is empty: nothing to upload");
        note_failure(QStringLiteral("the image is empty"));
        return false;
    }
    if (total_bytes > capacity) {
        qWarning("update.bin holds %lld bytes, more than the %lld bytes below the bootloader of a "
                 "%s board",
                 static_cast<long long>(total_bytes), static_cast<long long>(capacity),
                 qPrintable(board_type));
        note_failure(QStringLiteral("the image (%1 bytes) is larger than the %2 bytes below the "
                                    "bootloader of a %3 board")
                         .arg(total_bytes)
                         .arg(capacity)
                         .arg(board_type));
        return false;
    }
    return true;
}

ModuleOpening Thread::open_module()
{
    at_socket = new QTcpSocket;
    data_socket = new QTcpSocket;
    qDebug() << "current_ip =" << host_ip << data_port << at_port;
    const ModuleOpening opened = openModule(data_socket, at_socket, host_ip, portOf(data_port),
                                            portOf(at_port), board->resetFamily);
    switch (opened.failed) {
    case ModuleOpening::Failure::None:
        break;
    case ModuleOpening::Failure::DataPort:
        std::perror("connect data server error");
        note_failure(QStringLiteral("cannot connect to data port %1: %2")
                         .arg(data_port, data_socket->errorString()));
        break;
    case ModuleOpening::Failure::AtPort:
        std::perror("connect at server error");
        note_failure(QStringLiteral("cannot connect to AT port %1: %2")
                         .arg(at_port, at_socket->errorString()));
        // Closed now, so that close_module() does not keep it for a receiver.
        QObject::disconnect(data_socket, nullptr, nullptr, nullptr);
        data_socket->close();
        break;
    case ModuleOpening::Failure::Handshake:
        at_refused = opened.handshake.refused;
        note_failure(opened.handshake.failure);
        break;
    }
    return opened;
}

void Thread::close_module()
{
    if (data_receiver && data_socket && data_socket->state() == QAbstractSocket::ConnectedState) {
        data_socket->moveToThread(data_receiver);
        kept_data_socket = data_socket;
        data_socket = nullptr;
    }
    // The sockets belong to this thread; they go with the run.
    closeSocket(data_socket);
    closeSocket(at_socket);
}

bool Thread::collect_reply(const StkCommand &command, ReplyEnd end, const QDeadlineTimer &budget,
                           QByteArray *reply)
{
    const StepResult result = awaitReply(data_socket, command, end, budget);
    if (reply)
        *reply = result.reply;
    if (!result.ok)
        note_step_failure(command, result);
    return result.ok;
}

bool Thread::send_step(const StkCommand &command, QByteArray *reply)
{
    sendCommand(data_socket, command);
    return collect_reply(command, ReplyEnd::Alone, replyBudget(command), reply);
}

bool Thread::send_or_perror(const StkCommand &command, const char *perror_text)
{
    if (send_step(command))
        return true;
    std::perror(perror_text);
    return false;
}

int Thread::send_together(const QList<StkCommand> &commands)
{
    const QList<StepResult> results = transactTogether(data_socket, commands);
    const int judged = static_cast<int>(results.size());
    if (results.last().ok)
        return judged;
    note_step_failure(commands.at(judged - 1), results.last());
    return judged - 1;
}

void Thread::note_step_failure(const StkCommand &command, const StepResult &result)
{
    const QString step = QStringLiteral("the %1 command (image offset %2)")
                             .arg(stkStepName(command.bytes))
                             .arg(file_offset);
    if (result.connectionClosed)
        note_failure(QStringLiteral("the module closed the data connection during %1").arg(step));
    else if (result.reply.isEmpty())
        note_failure(QStringLiteral("no reply of %1 bytes to %2").arg(command.expected).arg(step));
    else
        note_failure(QStringLiteral("wrong reply to %1: %2").arg(step, result.reason));
    qDebug() << "step failed:" << failure;
}

bool Thread::signature_matches(const QByteArray &signature)
{
    const ReplyVerdict verdict = judgeSignature(signature, board->signature, board_type);
    if (!verdict.ok) {
        note_failure(verdict.reason);
        qDebug() << "step failed:" << failure;
    }
    return verdict.ok;
}

void Thread::name_other_board(const QByteArray &reply)
{
    // A run asked to stop has no time for a second handshake.
    if (isInterruptionRequested())
        return;
    // A reply that begins as the chosen protocol's do comes from a bootloader
    // that speaks it, whatever else went wrong.
    const StkVersion chosen = board->protocol;
    const auto first = static_cast<quint8>(reply.isEmpty() ? 0 : reply.at(0));
    if (!reply.isEmpty()
        && (chosen == StkVersion::V2 ? first == stk500v2::kMessageStart
                                     : first == kV1InSync || first == kV1NoSync))
        return;
    const auto other = std::find_if(boards().begin(), boards().end(),
                                    [chosen](const Board &b) { return b.protocol != chosen; });
    if (other == boards().end())
        return;
    // The wrong greeting may have left the bootloader out of step or made it
    // restart into the program (optiboot does): reset the board afresh, as
    // the other family is reset, before asking in its protocol.
    if (!moduleHandshake(at_socket, other->resetFamily).ok)
        return;
    drainResetOutput(data_socket);
    StkCommand greeting
        = other->protocol == StkVersion::V1 ? stk500v1::getSync() : stk500v2::signOn(1);
    greeting.tries = 1;
    greeting.waitMs = kOtherGreetingWaitMs;
    if (!transact(data_socket, greeting).ok)
        return;
    const QString name = QString::fromLatin1(other->name);
    const bool vowel = QStringLiteral("AEIOU").contains(name.at(0));
    note_failure(QStringLiteral("the board answered like %1 %2 (STK500 version %3): choose %2")
                     .arg(vowel ? QStringLiteral("an") : QStringLiteral("a"), name)
                     .arg(other->protocol == StkVersion::V1 ? 1 : 2));
    qDebug() << "wrong board type:" << failure;
}

int Thread::read_page(int page_size)
{
    page = image.mid(file_offset, page_size);
    last_read = page.size();
    bytes_read += last_read;
    emit updateover(row, UPDATE_PROGRESS, progress());
    return last_read;
}

float Thread::progress() const
{
    return static_cast<float>(static_cast<double>(bytes_read) / static_cast<double>(total_bytes));
}

bool Thread::upload_stk500v2(const QByteArray &stray)
{
    seq_num = 1;
    qDebug() << "read send_sign_on reply 1=" << stray.toHex(' ');
    return enter_stk500v2() && program(&Thread::write_page_stk500v2);
}

bool Thread::enter_stk500v2()
{
    QByteArray greeting;
    if (!send_step(stk500v2::signOn(seq_num), &greeting)) {
        name_other_board(greeting);
        return false;
    }
    ++seq_num;
    for (quint8 id : kV2Parameters) {
        if (!send_step(stk500v2::getParameter(seq_num, id)))
            return false;
        ++seq_num;
    }
    if (!send_step(stk500v2::enterProgMode(seq_num)))
        return false;
    ++seq_num;
    QByteArray signature;
    for (quint8 index = 0; index < kSignatureBytes; ++index) {
        QByteArray reply;
        if (!send_step(stk500v2::readSignature(seq_num, index), &reply))
            return false;
        ++seq_num;
        const int value = signatureByteOfV2Reply(reply);
        if (value >= 0)
            signature += static_cast<char>(value);
    }
    return signature_matches(signature);
}

bool Thread::write_page_stk500v2(int)
{
    // Program-flash advances the bootloader's address, so the MEGA2560 gets a
    // load address only where the pages would not carry on by themselves.
    // The other boards keep one before every page. The bootloader erases the
    // pages in the order it is sent them, from the first on.
    const auto word_address = static_cast<quint32>(file_offset / kBytesPerWord);
    if (!board->addressAdvances || !stk500v2::addressCarriesOn(next_word, word_address)) {
        if (!send_or_perror(stk500v2::loadAddress(seq_num, word_address), "send stk header erro"))
            return false;
        ++seq_num;
    }
    if (!send_or_perror(stk500v2::programFlash(seq_num, page), "send data error"))
        return false;
    ++seq_num;
    next_word = word_address + board->pageSize / kBytesPerWord;
    return true;
}

bool Thread::upload_stk500v1(const QByteArray &)
{
    return enter_stk500v1() && program(&Thread::write_page_stk500v1);
}

bool Thread::enter_stk500v1()
{
    for (int i = 0; i < kSyncCommands; ++i) {
        QByteArray greeting;
        if (!send_step(stk500v1::getSync(), &greeting)) {
            std::perror("send a 0 error");
            if (i == 0)
                name_other_board(greeting);
            return false;
        }
    }
    for (const ParameterQuery &query : kV1Queries) {
        if (!send_step(stk500v1::getParameter(query.id))) {
            std::perror(query.failure);
            if (query.ends_upload)
                return false;
        }
    }
    if (!send_or_perror(stk500v1::setDevice(), "send B error")
        || !send_or_perror(stk500v1::setDeviceExt(), "send_E error")
        || !send_or_perror(stk500v1::enterProgMode(), "send P error"))
        return false;
    QByteArray signature;
    if (!send_step(stk500v1::readSignature(), &signature)) {
        std::perror("send u error");
        return false;
    }
    if (!signature_matches(signatureOfV1Reply(signature)))
        return false;
    for (quint8 low : kV1EepromReads) {
        if (!send_or_perror(stk500v1::universalReadEeprom(low), "send v error"))
            return false;
    }
    return true;
}

bool Thread::write_page_stk500v1(int count)
{
    // The bootloader writes its whole page buffer: a short last page is
    // filled up with erased flash, or it would take the previous page's tail.
    const QByteArray whole_page = page + QByteArray(board->pageSize - count, '\xFF');
    // Address and page in one write: the bootloader answers the address
    // at once and takes the page from its receive buffer. Nothing of the
    // next page goes out before this one's reply, as the bootloader
    // cannot take bytes while it writes the flash.
    const int accepted
        = send_together({ stk500v1::loadAddress(static_cast<quint32>(file_offset / kBytesPerWord)),
                          stk500v1::programPage(whole_page) });
    if (accepted < 1)
        std::perror("send header erro");
    else if (accepted < 2)
        std::perror("send data error");
    return accepted == 2;
}

bool Thread::program(WritePage write_page)
{
    if (!read_and_keep_flash())
        return false;
    if (!read_only) {
        // A short page is the image's last.
        const int page_size = board->pageSize;
        next_word = -1;
        for (int count = read_page(page_size); count > 0; count = read_page(page_size)) {
            if (!(this->*write_page)(count))
                return false;
            file_offset += count;
            if (count < page_size)
                break;
        }
    }
    verify_and_leave();
    return true;
}

void Thread::verify_and_leave()
{
    // A full last page also needs the leave, or the new program never starts.
    verify_image();
    // The leave's outcome is no failure of the upload, and must not hide one
    // that the read-back found. The new program may start talking right
    // behind the reply: that is no surplus of the reply, and stays unread.
    const QString noted = failure;
    const bool v1 = board->protocol == StkVersion::V1;
    const StkCommand leave = v1 ? stk500v1::leaveProgMode() : stk500v2::leaveProgMode(seq_num);
    sendCommand(data_socket, leave);
    if (!collect_reply(leave, ReplyEnd::Followed, replyBudget(leave)) && v1)
        std::perror("send q error");
    failure = noted;
}

std::function<void(qint64)> Thread::progress_reporter(int status, qint64 whole)
{
    return [this, status, whole](qint64 done) {
        emit updateover(row, status,
                        static_cast<float>(static_cast<double>(done) / static_cast<double>(whole)));
    };
}

void Thread::verify_image()
{
    if (!verify)
        return;
    const auto report = progress_reporter(UPDATE_VERIFY_PROGRESS, total_bytes);
    const FlashComparison result = board->protocol == StkVersion::V1
        ? verifyFlashV1(data_socket, image, report)
        : verifyFlashV2(data_socket, seq_num, image, report, !board->addressAdvances);
    verify_passed = result.matches(total_bytes);
    mismatch_address = result.firstMismatch;
    if (result.firstMismatch >= 0) {
        note_failure(QStringLiteral("verification failed: the flash differs from the image at "
                                    "byte 0x%1")
                         .arg(result.firstMismatch, 4, 16, QLatin1Char('0')));
    } else if (!verify_passed) {
        note_failure(QStringLiteral("verification failed: ") + result.error);
    }
}

bool Thread::read_and_keep_flash()
{
    if (read_bytes <= 0)
        return true;
    const auto report = progress_reporter(UPDATE_READ_PROGRESS, read_bytes);
    const FlashRead result = board->protocol == StkVersion::V1
        ? readFlashV1(data_socket, read_bytes, report)
        : readFlashV2(data_socket, seq_num, read_bytes, report, !board->addressAdvances);
    if (!result.error.isEmpty()) {
        note_failure(QStringLiteral("reading the flash failed: ") + result.error);
        return false;
    }
    const QString refused = keep_flash ? keep_flash(result.flash) : QString();
    if (!refused.isEmpty()) {
        note_failure(refused);
        return false;
    }
    if (read_only)
        bytes_read = total_bytes;
    return true;
}

QString Thread::failure_text() const
{
    if (unreached)
        return failure.isEmpty() ? QStringLiteral("the module could not be reached") : failure;
    if (mismatch_address >= 0)
        return QStringLiteral("the flash differs from the image at byte 0x%1")
            .arg(mismatch_address, 4, 16, QLatin1Char('0'));
    return failure.isEmpty() ? QStringLiteral("the upload ended without a result") : failure;
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
    return static_cast<double>(run_ms) / kMsecsPerSecond;
}

void Thread::note_failure(const QString &reason)
{
    // The last one is what ended the run: earlier ones did not stop it.
    failure = reason;
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
            qWarning("An upload did not stop in time; its worker is left to the process's end.");
    }
}
