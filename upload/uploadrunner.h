#pragma once

#include "upload/stkstep.h"

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;
class QTcpSocket;
class QThread;
struct Board;
struct ModuleOpening;

// What the status of a report says; the runner sends them, the window and
// the command line show them.
struct UploadStatus
{
    enum Status {
        UPDATE_CONNECT_FAILED = 0,
        UPDATE_FINISHED = 1,
        UPDATE_PROGRESS = 2,
        // Sent only by uploads that verify: the fraction of the image read
        // back and found equal so far.
        UPDATE_VERIFY_PROGRESS = 3,
        // Sent only by runs that read the flash: the fraction of it read so far.
        UPDATE_READ_PROGRESS = 4,
    };
};

// Takes the flash read, on the worker's thread; an empty text lets the run
// go on, any other ends it as its failure.
using FlashKeeper = std::function<QString(const QByteArray &flash)>;

// One upload as the window and the command line ask for it.
struct UploadRequest
{
    // The module as its announcement gave it; ports are decimal texts, of
    // which only the low 16 bits count.
    QString host_ip;
    QString data_port;
    QString at_port;
    // Handed back unchanged with every report.
    int row = 0;
    // nullptr: a board type nobody knows; nothing is opened, sent or reported.
    const Board *board = nullptr;
    // The whole image, taken when the upload was asked for, so that a later
    // conversion cannot change what it sends.
    QByteArray image;
    // Why there is no image; the run then fails with it before connecting.
    QString image_failure;
    // Told, on the worker's thread, of an image that is empty or larger than
    // the board takes, before the run fails with it.
    std::function<void(qint64 bytes)> image_refused;
    // After the last page, read the flash back and compare it with the image
    // before leaving programming mode; a difference fails the upload.
    bool verify = false;
    // Once in programming mode, before any page is written, read the first
    // `read_bytes` of flash and hand them to `keep_flash`; writing starts only
    // once the copy is kept. With `read_only` nothing is written, and no
    // image is needed.
    qint64 read_bytes = 0;
    FlashKeeper keep_flash;
    bool read_only = false;
    // Instead of closing the data connection at the end of a run that got
    // both connections, hand it to this thread (the board's program starts
    // talking right after the bootloader, and a new connection would miss its
    // first lines).
    QThread *data_receiver = nullptr;
};

// What a run came to, once it has ended.
struct UploadOutcome
{
    // Why it failed: the last reason noted; empty when it succeeded.
    QString failure;
    // Byte address of the first difference the read-back found; -1: none.
    qint64 mismatch_address = -1;
    // The module answered the AT handshake but refused it (a single byte or
    // ERROR), as against not being reached or staying silent.
    bool at_refused = false;
    // The module was not reached, or not brought to its board.
    bool unreached = false;
    qint64 total_bytes = 0;
    qint64 run_ms = 0;
    // The data connection kept for the request's receiver, or nullptr.
    QTcpSocket *data_socket = nullptr;

    // Why it failed, in the words every front end shows.
    QString failure_text() const;
};

// What the read-back found.
struct FlashComparison
{
    // Bytes read back and compared, from address 0 on.
    qint64 bytesCompared = 0;
    // Byte address of the first byte that differs from the image; -1: none.
    qint64 firstMismatch = -1;
    // Why the read-back stopped before the end (no or a malformed reply).
    QString error;

    bool matches(qint64 imageSize) const
    {
        return error.isEmpty() && firstMismatch < 0 && bytesCompared == imageSize;
    }
};

// What a read of the flash brought: the bytes from address 0 on, and why the
// read stopped before the end.
struct FlashRead
{
    QByteArray flash;
    QString error;
};

// Told the number of bytes read so far, after every page.
using ReadBackProgress = std::function<void(qint64 bytes)>;
// Told every report of a run: its status and the fraction it carries.
using UploadReporter = std::function<void(int status, float progress)>;

// One upload of one board: the image, the module's opening, the progress and
// the failures. The STK500 generation the board speaks lives in a subclass
// of its own (upload/stk500v1.h, upload/stk500v2.h).
class UploadRunner : public UploadStatus
{
public:
    // The request and the outcome must outlive the runner.
    UploadRunner(const UploadRequest &request, UploadOutcome &outcome,
                 const UploadReporter &report);
    virtual ~UploadRunner();
    UploadRunner(const UploadRunner &) = delete;
    UploadRunner &operator=(const UploadRunner &) = delete;

    // The whole run on the calling thread: the image, the connections and
    // the handshake, the programming, the closing and the final report.
    void run();

    // Over a device whose bootloader is in programming mode: every page from
    // address 0 on read and compared with the image, stopping at the first
    // that differs; or the first `size` bytes of flash read.
    FlashComparison verify_flash(QIODevice *device, const QByteArray &image,
                                 const ReadBackProgress &progress = ReadBackProgress());
    FlashRead read_flash(QIODevice *device, qint64 size,
                         const ReadBackProgress &progress = ReadBackProgress());

    // The other generation's greeting: when the first command fails, a board
    // that answers it is named as the type to choose.
    void set_other_greeting(const StkCommand &greeting) { other_greeting = greeting; }

protected:
    // The generation's part. From the greeting to programming mode, the
    // signature checked; `stray` is what was drained off after the reset.
    virtual bool enter(const QByteArray &stray) = 0;
    // Writes `page` (the image's bytes at file_offset, a short one last).
    virtual bool write_page(const QByteArray &page) = 0;
    // Reads `count` bytes of flash at `offset` into *page; why it failed, or
    // an empty text.
    virtual QString read_page(qint64 offset, int count, QByteArray *page) = 0;
    virtual void leave() = 0;
    // Whether a reply begins as this generation's replies do.
    virtual bool in_protocol(const QByteArray &reply) const = 0;
    // The name of the command that `bytes` are, for messages.
    virtual QString step_name(const QByteArray &bytes) const = 0;

    // Steps on the data connection; a failure is noted with its reason.
    bool send_step(const StkCommand &command, QByteArray *reply = nullptr);
    // send_step, and the system's error logged with `text` when it fails.
    bool send_or_log(const StkCommand &command, const char *text);
    // The commands in one write, their replies judged in order; returns how
    // many were accepted before the first that was not.
    int send_together(const QList<StkCommand> &commands);
    // The leave: its reply may be followed by the new program's first words.
    bool send_leave(const StkCommand &command);
    bool signature_matches(const QByteArray &signature);
    // After the first command failed with `reply`, none or not in this
    // protocol: whether the board answers the other protocol's greeting,
    // which then names the board type to choose.
    void name_other_board(const QByteArray &reply);
    void note_failure(const QString &reason);

    const UploadRequest &request;
    const Board &board;
    // The data connection, or the device a read-back goes over.
    QIODevice *data = nullptr;
    // Offset in the image of the page being written.
    qint32 file_offset = 0;

private:
    bool take_image();
    bool image_fits();
    // Connects to the module and resets the board; a failure is noted.
    ModuleOpening open_module();
    void close_module();
    bool collect_reply(const StkCommand &command, ReplyEnd end, const QDeadlineTimer &budget,
                       QByteArray *reply = nullptr);
    void note_step_failure(const StkCommand &command, const StepResult &result);
    // In programming mode: the flash read asked for, then every page of the
    // image (unless only reading), then verify_and_leave().
    bool program();
    // Takes the next page of the image and reports the progress; returns its length.
    int read_image_page(int page_size);
    // The one way out of a page loop that sent every page: the read-back when
    // asked for, then leave-programming-mode, whose outcome decides nothing.
    void verify_and_leave();
    void verify_image();
    // The flash read asked for, kept; false ends the run.
    bool read_and_keep_flash();
    // Every page up to `size` read and handed to `take`, which ends the loop
    // by returning false; why a read failed, or an empty text.
    QString read_pages(qint64 size, const std::function<bool(qint64, const QByteArray &)> &take);
    ReadBackProgress progress_reporter(int status, qint64 whole) const;

    UploadOutcome &outcome;
    UploadReporter report;
    QTcpSocket *at_socket = nullptr;
    QTcpSocket *data_socket = nullptr;
    StkCommand other_greeting;
    QByteArray page;
    qint64 bytes_read = 0;
    bool verify_passed = true;
};

// The three signature bytes accepted when the board type is not checked
// (`expected` nullptr) or they match `expected`.
ReplyVerdict judgeSignature(const QByteArray &signature, const char *expected,
                            const QString &boardType);

// Offset of the first byte where the two differ within the shorter one's
// length; -1 when they agree there.
qint64 firstDifference(const QByteArray &expected, const QByteArray &actual);

// "0x0100": a flash address in messages.
QString hexAddress(qint64 address);
