#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QThread>

#include <functional>

class QDeadlineTimer;
class QElapsedTimer;
class QTcpSocket;
struct Board;
struct ModuleOpening;
struct StkCommand;
struct StepResult;
enum class ReplyEnd;

// One upload of one board: handshake on the module's AT port, then STK500
// through its data port. Reports leave only through updateover.
class Thread : public QThread
{
    Q_OBJECT

public:
    // Values of updateover's status.
    enum Status { UPDATE_CONNECT_FAILED = 0, UPDATE_FINISHED = 1, UPDATE_PROGRESS = 2 };
    // Sent only by uploads that verify: the fraction of the image read back
    // and found equal so far.
    static constexpr int UPDATE_VERIFY_PROGRESS = 3;
    // Sent only by runs that read the flash: the fraction of it read so far.
    static constexpr int UPDATE_READ_PROGRESS = 4;

    // Takes the flash read, on the worker's thread; an empty text lets the
    // run go on, any other ends it as its failure.
    using FlashKeeper = std::function<QString(const QByteArray &flash)>;

    Thread(QString &at_port, QString &data_port, QString &host_ip, int row, QString &board_type);

    // The module this worker talks to; reports are matched to rows by it.
    const QString &module_ip() const { return host_ip; }

    // Opt-ins, made before start(). Upload these bytes instead of reading
    // ./update.bin (the command-line tool).
    void set_image(const QByteArray &bytes);
    // After the last page, read the flash back and compare it with the image
    // before leaving programming mode; a difference fails the upload. The
    // read-back reports UPDATE_VERIFY_PROGRESS.
    void set_verify(bool on) { verify = on; }
    bool verifying() const { return verify; }
    // Once in programming mode, before any page is written, read the first
    // `bytes` of flash and hand them to `keep`; writing starts only once the
    // copy is kept. With `read_only` nothing is written, and no image is needed.
    void set_flash_reading(qint64 bytes, const FlashKeeper &keep, bool read_only);
    // Instead of closing the data connection at the end of a run that got
    // both connections, hand it to the receiver thread (the board's program
    // starts talking right after the bootloader, and a new connection would
    // miss its first lines). Take it with take_data_socket() once the run has
    // ended; the caller then owns it.
    void set_keep_data_connection(QThread *receiver) { data_receiver = receiver; }
    QTcpSocket *take_data_socket();

    // Once the run has ended: why it failed (empty when it succeeded), and
    // the byte address of the first difference the read-back found (-1: none).
    const QString &failure_reason() const { return failure; }
    qint64 first_mismatch() const { return mismatch_address; }
    // The module answered the AT handshake but refused it (a single byte or
    // ERROR), as against not being reached or staying silent.
    bool handshake_refused() const { return at_refused; }
    // Once the run has ended, in the words every front end shows: why it
    // failed, and what a success did.
    QString failure_text() const;
    static QString success_text(qint64 bytes, double seconds, bool verified);
    // The size of the image and the run's length, once it has ended.
    qint64 image_bytes() const { return total_bytes; }
    double run_seconds() const;

signals:
    void updateover(int row, int status, float progress);

protected:
    void run() override;

private:
    // One protocol's upload, once the board is reset; `stray` is what was
    // drained off the data port after the reset.
    using Upload = bool (Thread::*)(const QByteArray &stray);
    // Writes the page just read (`count` bytes) at file_offset.
    using WritePage = bool (Thread::*)(int count);

    void run_frame(Upload upload, const QElapsedTimer &clock);
    bool open_image();
    bool image_fits();
    // Connects to the module and resets the board; a failure is noted.
    ModuleOpening open_module();
    void close_module();
    // Waits for the reply to a command already written and judges it; a
    // failure is noted with its reason. `reply` receives the bytes.
    bool collect_reply(const StkCommand &command, ReplyEnd end, const QDeadlineTimer &budget,
                       QByteArray *reply = nullptr);
    bool send_step(const StkCommand &command, QByteArray *reply = nullptr);
    // send_step with the text std::perror prints when it fails.
    bool send_or_perror(const StkCommand &command, const char *perror_text);
    // The commands in one write, their replies judged in order; returns how
    // many were accepted before the first that was not.
    int send_together(const QList<StkCommand> &commands);
    void note_step_failure(const StkCommand &command, const StepResult &result);
    bool signature_matches(const QByteArray &signature);
    // After the first command failed with `reply`, none or not in the chosen
    // protocol: whether the board answers the other protocol's greeting,
    // which then names the board type to choose.
    void name_other_board(const QByteArray &reply);
    // The one way out of a page loop that sent every page: the read-back when
    // asked for, then leave-programming-mode, whose outcome decides nothing.
    void verify_and_leave();
    // Takes the next page of the image and reports the progress; returns its length.
    int read_page(int page_size);
    float progress() const;
    bool upload_stk500v2(const QByteArray &stray);
    bool upload_stk500v1(const QByteArray &stray);
    // From the greeting to programming mode, the signature checked.
    bool enter_stk500v2();
    bool enter_stk500v1();
    bool write_page_stk500v2(int count);
    bool write_page_stk500v1(int count);
    // In programming mode: the flash read asked for, then every page of the
    // image (unless only reading), then verify_and_leave().
    bool program(WritePage write_page);
    // Reports `done` of `whole` bytes as a fraction with the given status.
    std::function<void(qint64)> progress_reporter(int status, qint64 whole);
    void verify_image();
    // The flash read asked for, kept; false ends the run.
    bool read_and_keep_flash();
    void note_failure(const QString &reason);

    int row = 0;
    QString host_ip;
    QString at_port;
    QString data_port;
    QString board_type;
    // The board of board_type, looked up when the run starts.
    const Board *board = nullptr;
    QTcpSocket *at_socket = nullptr;
    QTcpSocket *data_socket = nullptr;
    // The whole image, taken when the run starts, so that a later conversion
    // cannot change what this upload sends.
    QByteArray image;
    QByteArray page;
    qint32 file_offset = 0;
    qint64 total_bytes = 0;
    qint64 bytes_read = 0;
    // Version 2 message sequence number.
    quint8 seq_num = 0;
    int last_read = 0;
    // Version 2: the word the bootloader's address stands at after the last
    // page (-1: none yet).
    qint64 next_word = -1;
    // The command-line tool's opt-ins and what the run found out.
    QByteArray given_image;
    bool image_given = false;
    bool verify = false;
    qint64 read_bytes = 0;
    FlashKeeper keep_flash;
    bool read_only = false;
    QThread *data_receiver = nullptr;
    QTcpSocket *kept_data_socket = nullptr;
    bool verify_passed = true;
    bool at_refused = false;
    // The module was not reached, or not brought to its board.
    bool unreached = false;
    qint64 mismatch_address = -1;
    qint64 run_ms = 0;
    QString failure;
};

// How long a worker asked to stop may take: longer than its longest wait
// that cannot be cut short (a connect, kModuleConnectTimeoutMs).
constexpr int kWorkerStopGraceMs = 5000;

// Asks every worker to stop, waits for each at most kWorkerStopGraceMs and
// deletes those that ended. A worker that would not stop is left to the end
// of the process: destroying a running thread would take the process down.
void stopAndDeleteWorkers(const QList<Thread *> &workers);
