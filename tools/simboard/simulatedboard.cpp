#include "simulatedboard.h"

#include "intelhex.h"

#include <QVector>
#include <QtDebug>

#include <avr_uart.h>
#include <sim_avr.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
using Clock = std::chrono::steady_clock;

// Simulated time run in one go between looks at the clock, the inbox and
// the reset line; it also bounds how long the MCU's output is held back.
constexpr double kSliceSeconds = 0.001;
// When the host falls further behind than this, simulated time slips
// instead of rushing to catch up, so bytes never come in a burst.
constexpr double kMaxLagSeconds = 0.020;
// The shortest nap when the simulation is ahead of the clock.
constexpr double kMinNapSeconds = 0.0005;

// USART0's registers sit at the same addresses on both MCUs.
constexpr int kUcsr0aAddress = 0xC0;
constexpr int kUcsr0bAddress = 0xC1;
constexpr int kUcsr0cAddress = 0xC2;
constexpr int kUbrr0lAddress = 0xC4;
constexpr int kUbrr0hAddress = 0xC5;
constexpr quint8 kU2x0Mask = 1 << 1;
constexpr quint8 kRxen0Mask = 1 << 4;
constexpr quint8 kUsbs0Mask = 1 << 3;
constexpr quint8 kUpm01Mask = 1 << 5;
constexpr int kUcsz0Shift = 1;
constexpr quint8 kUcsz0Bits = 0x3;
constexpr quint8 kUbrr0hBits = 0x0F;
constexpr int kMinDataBits = 5;
// USART0's receive buffer (two bytes) plus its shift register.
constexpr int kChipReceiveBytes = 3;
// The simulator erases and writes a flash page at once. The chip takes
// tWD_FLASH (4.5 ms) for each, with SPMEN held set meanwhile, and a
// bootloader waiting for it reads no UART then.
constexpr int kSpmcsrAddress = 0x57;
constexpr quint8 kSpmenMask = 1 << 0;
constexpr quint8 kPageOperationMask = (1 << 1) | (1 << 2); // PGERS, PGWRT
constexpr quint16 kSpmOpcode = 0x95E8;
constexpr double kPageOperationSeconds = 0.0045;
constexpr int kSamplesPerBit = 16;
constexpr int kSamplesPerBitDoubleSpeed = 8;

constexpr char kUartName = '0';
constexpr quint64 kNsPerSecond = 1000000000;
// Bytes already fed are cut off the front of the feed in blocks this big, so
// a large write is not copied again every slice.
constexpr int kFeedCompactBytes = 4096;
constexpr int kLogBufferBytes = 512;

// Errors go to the Qt log; the simulator's chatter (traces, the odd opcode
// of erased flash) is dropped.
void logFromSimulator(avr_t *, const int level, const char *format, va_list arguments)
{
    if (level > LOG_ERROR)
        return;
    char text[kLogBufferBytes];
    std::vsnprintf(text, sizeof text, format, arguments);
    qWarning().noquote() << "simavr:" << QString::fromLocal8Bit(text).trimmed();
}

// The pacing loop does the waiting; the simulator must not sleep on its own.
void noSleep(avr_t *, avr_cycle_count_t) { }

// The time one frame takes on the wire at the rate and format the program
// set in USART0 (start bit, data bits, parity, stop bits).
quint64 cyclesPerFrame(const avr_t *avr)
{
    const quint8 *data = avr->data;
    const int divisor = ((data[kUbrr0hAddress] & kUbrr0hBits) << 8) + data[kUbrr0lAddress] + 1;
    const int samples
        = data[kUcsr0aAddress] & kU2x0Mask ? kSamplesPerBitDoubleSpeed : kSamplesPerBit;
    const quint8 format = data[kUcsr0cAddress];
    const int bits = 1 + kMinDataBits + ((format >> kUcsz0Shift) & kUcsz0Bits)
        + (format & kUpm01Mask ? 1 : 0) + (format & kUsbs0Mask ? 2 : 1);
    return quint64(divisor) * quint64(samples) * quint64(bits);
}

// Bytes in the simulator's receive FIFO (its accessors are not exported).
int unreadBytes(const uart_fifo_t &fifo)
{
    return int((fifo.write + uart_fifo_fifo_size - fifo.read) & (uart_fifo_fifo_size - 1));
}

// The next instruction is an SPM that erases or writes a page. On an Arduino
// board the boot lock bits (lock byte 0x0F, BLB1 mode 3) keep it out of the
// boot section; the simulator knows no lock bits, so the section is put back
// as it was after each such instruction.
bool isPageOperation(const avr_t *avr)
{
    const quint32 pc = avr->pc;
    const quint16 opcode = quint16(avr->flash[pc] | (avr->flash[pc + 1] << 8));
    const quint8 control = avr->data[kSpmcsrAddress];
    return opcode == kSpmOpcode && (control & kSpmenMask) && (control & kPageOperationMask);
}

void setRegisterBit(avr_t *avr, const avr_regbit_t &bit)
{
    if (bit.reg)
        avr->data[bit.reg] |= static_cast<quint8>(bit.mask << bit.bit);
}

QString hexAddress(quint32 address)
{
    return QStringLiteral("0x") + QString::number(address, 16).toUpper();
}
} // namespace

struct SimulatedBoard::Core
{
    avr_t *avr = nullptr;
    void (*mcuReset)(avr_t *) = nullptr;
    avr_irq_t *uartInput = nullptr;
    avr_uart_t *uart = nullptr;
    bool bootloaderLoaded = false;

    // Set while the UART's receive FIFO is full.
    bool xoff = false;
    // Bytes taken from the inbox, not yet in the UART.
    QByteArray feed;
    int feedPosition = 0;
    // Bytes go in no faster than the wire would carry them at the UART's
    // setting: the simulator's receiver would hand them over at once.
    quint64 nextFeedCycle = 0;
    QByteArray outbox;
    // When the UART last sent a byte, in cycleCount's terms.
    quint64 lastOutputCycle = 0;

    quint64 cycleCount = 0;
    avr_cycle_count_t lastCoreCycle = 0;
    // Until then a page erase or write is under way (lossy receive only).
    quint64 spmBusyUntil = 0;
    // The boot section as it was before a page operation, to put back.
    QByteArray lockedBootSection;
    // One frame on the line towards the UART (lossy receive only).
    quint64 lineFrameCycles = 0;
    bool halted = false;

    // A reset the board did not start itself comes from the watchdog.
    ResetCause nextResetCause = ResetCause::Watchdog;
    QVector<ResetCause> resetsToReport;
};

SimulatedBoard::SimulatedBoard(BoardKind kind, QObject *parent)
    : QObject(parent)
    , boardKind(kind)
    , core(std::make_unique<Core>())
{
    static std::once_flag loggerInstalled;
    std::call_once(loggerInstalled, [] {
        avr_global_logger_set(logFromSimulator);
        qRegisterMetaType<ResetCause>();
    });

    avr_t *avr = avr_make_mcu_by_name(traits().mcu);
    if (!avr) {
        setError(QStringLiteral("the simulator does not know the %1").arg(traits().mcu));
        return;
    }
    avr_init(avr);
    core->lockedBootSection.resize(int(traits().flashBytes - traits().bootStart));
    avr->frequency = traits().clockHz;
    avr->sleep = noSleep;
    avr->reset_pc = traits().bootStart;

    // Chain our reset hook behind the MCU's own; custom.data is free for us
    // after avr_init.
    core->mcuReset = avr->reset;
    avr->reset = onCoreReset;
    avr->custom.data = this;

    uint32_t uartFlags = 0; // no console echo, no sleeping in polls
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS(kUartName), &uartFlags);
    const uint32_t uartIrqs = AVR_IOCTL_UART_GETIRQ(kUartName);
    core->uartInput = avr_io_getirq(avr, uartIrqs, UART_IRQ_INPUT);
    // The lossy receive needs to see how full the receiver is.
    for (avr_io_t *io = avr->io_port; io; io = io->next) {
        if (std::strcmp(io->kind, "uart") == 0
            && reinterpret_cast<avr_uart_t *>(io)->name == kUartName)
            core->uart = reinterpret_cast<avr_uart_t *>(io);
    }
    avr_irq_register_notify(avr_io_getirq(avr, uartIrqs, UART_IRQ_OUTPUT), onUartOutput, this);
    avr_irq_register_notify(avr_io_getirq(avr, uartIrqs, UART_IRQ_OUT_XON), onUartXon, this);
    avr_irq_register_notify(avr_io_getirq(avr, uartIrqs, UART_IRQ_OUT_XOFF), onUartXoff, this);
    core->avr = avr;
}

SimulatedBoard::~SimulatedBoard()
{
    stop();
    if (core->avr) {
        avr_terminate(core->avr);
        std::free(core->avr);
    }
}

QString SimulatedBoard::errorString() const
{
    std::lock_guard<std::mutex> lock(errorMutex);
    return lastError;
}

std::unique_lock<std::mutex> SimulatedBoard::lockCoreBetweenSlices() const
{
    ++coreWaiters;
    std::unique_lock<std::mutex> lock(coreMutex);
    --coreWaiters;
    return lock;
}

void SimulatedBoard::setError(const QString &text) const
{
    std::lock_guard<std::mutex> lock(errorMutex);
    lastError = text;
}

bool SimulatedBoard::loadBootloader(const QString &hexPath)
{
    const HexContents hex = readIntelHexFile(hexPath);
    if (!hex.ok()) {
        setError(hex.error);
        return false;
    }
    if (hex.chunks.isEmpty()) {
        setError(QStringLiteral("%1 holds no data").arg(hexPath));
        return false;
    }
    const BoardTraits &board = traits();
    // A bootloader that spills out of its section cannot run on the chip;
    // refuse it rather than run a truncated copy.
    if (hex.chunks.first().address < board.bootStart) {
        setError(
            QStringLiteral("%1 starts at %2, below the boot section at %3")
                .arg(hexPath, hexAddress(hex.chunks.first().address), hexAddress(board.bootStart)));
        return false;
    }
    if (hex.endAddress() > board.flashBytes) {
        setError(QStringLiteral("%1 ends at %2, past the end of the %3-byte flash")
                     .arg(hexPath, hexAddress(hex.endAddress()))
                     .arg(board.flashBytes));
        return false;
    }
    const auto lock = lockCoreBetweenSlices();
    if (!core->avr)
        return false;
    for (const HexChunk &chunk : hex.chunks)
        std::memcpy(core->avr->flash + chunk.address, chunk.data.constData(),
                    size_t(chunk.data.size()));
    core->bootloaderLoaded = true;
    return true;
}

bool SimulatedBoard::loadProgram(const QByteArray &image, quint32 address)
{
    if (quint64(address) + quint64(image.size()) > traits().flashBytes) {
        setError(QStringLiteral("%1 bytes at %2 do not fit the %3-byte flash")
                     .arg(image.size())
                     .arg(hexAddress(address))
                     .arg(traits().flashBytes));
        return false;
    }
    const auto lock = lockCoreBetweenSlices();
    if (!core->avr)
        return false;
    std::memcpy(core->avr->flash + address, image.constData(), size_t(image.size()));
    return true;
}

void SimulatedBoard::setSpeed(double factor)
{
    speed.store(factor > 0 ? factor : 0.0);
}

void SimulatedBoard::setOutputGrouping(int idleFrames, int maxBytes)
{
    outputIdleFrames.store(qMax(0, idleFrames));
    outputMaxBytes.store(qMax(0, maxBytes));
}

bool SimulatedBoard::start()
{
    if (running.load())
        return true;
    {
        std::lock_guard<std::mutex> lock(coreMutex);
        if (!core->avr)
            return false;
        if (!core->bootloaderLoaded) {
            setError(QStringLiteral("no bootloader loaded"));
            return false;
        }
        {
            std::lock_guard<std::mutex> inboxLock(inboxMutex);
            resetRequested = false;
        }
        performReset(ResetCause::PowerOn);
    }
    stopRequested.store(false);
    running.store(true);
    thread = std::thread(&SimulatedBoard::runLoop, this);
    return true;
}

void SimulatedBoard::stop()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopRequested.store(true);
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
    running.store(false);
}

void SimulatedBoard::writeToMcu(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(inboxMutex);
    inbox.append(bytes);
    pendingBytes += bytes.size();
}

void SimulatedBoard::resetIntoBootloader()
{
    std::lock_guard<std::mutex> lock(inboxMutex);
    pendingBytes -= inbox.size();
    inbox.clear();
    resetRequested = true;
}

QByteArray SimulatedBoard::flash() const
{
    const auto lock = lockCoreBetweenSlices();
    if (!core->avr)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(core->avr->flash), int(traits().flashBytes));
}

void SimulatedBoard::runLoop()
{
    const double clockHz = traits().clockHz;
    const auto cyclesOf = [clockHz](double seconds) { return quint64(seconds * clockHz); };
    Clock::time_point origin = Clock::now();
    int reportedOverruns = overruns.load();
    quint64 originCycles = cycles.load();
    double originSpeed = speed.load();

    while (!stopRequested.load()) {
        const Clock::time_point now = Clock::now();
        const double factor = speed.load();
        const quint64 done = cycles.load();
        if (factor != originSpeed) {
            origin = now;
            originCycles = done;
            originSpeed = factor;
        }
        quint64 target = done + cyclesOf(kSliceSeconds);
        if (factor > 0) {
            const double elapsed = std::chrono::duration<double>(now - origin).count();
            quint64 due = originCycles + quint64(elapsed * clockHz * factor);
            if (due > done + cyclesOf(kMaxLagSeconds)) {
                origin = now;
                originCycles = done + cyclesOf(kMaxLagSeconds);
                due = originCycles;
            }
            if (due <= done) {
                const double napEnd
                    = double(done + cyclesOf(kMinNapSeconds) - originCycles) / (clockHz * factor);
                const auto wakeAt = origin
                    + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(napEnd));
                std::unique_lock<std::mutex> lock(wakeMutex);
                wake.wait_until(lock, wakeAt, [this] { return stopRequested.load(); });
                continue;
            }
            target = std::min(target, due);
        }

        QByteArray output;
        QVector<ResetCause> resetsDone;
        {
            std::lock_guard<std::mutex> lock(coreMutex);
            takeInbox();
            // A slice ends early where held output falls due, so it leaves
            // when the line falls idle, not at the slice's end.
            runUntil(std::min(target, outputDeadline()));
            if (outputDue())
                output.swap(core->outbox);
            resetsDone.swap(core->resetsToReport);
            cycles.store(core->cycleCount);
        }
        for (ResetCause cause : resetsDone)
            emit resetDone(cause);
        if (const int lost = overruns.load(); lost > reportedOverruns) {
            emit bytesLost(lost - reportedOverruns);
            reportedOverruns = lost;
        }
        if (!output.isEmpty())
            emit bytesFromMcu(output);
        // Let a caller waiting for the core (flash read-out) in before the
        // next slice.
        while (coreWaiters.load() > 0)
            std::this_thread::yield();
    }
}

// Called with the core held.
quint64 SimulatedBoard::outputDeadline() const
{
    const int idleFrames = outputIdleFrames.load();
    if (idleFrames == 0 || core->outbox.isEmpty())
        return std::numeric_limits<quint64>::max();
    return core->lastOutputCycle + quint64(idleFrames) * cyclesPerFrame(core->avr);
}

// Called with the core held.
bool SimulatedBoard::outputDue() const
{
    const int idleFrames = outputIdleFrames.load();
    if (idleFrames == 0 || core->outbox.isEmpty())
        return true;
    const int maxBytes = outputMaxBytes.load();
    if (maxBytes > 0 && core->outbox.size() >= maxBytes)
        return true;
    return core->cycleCount >= outputDeadline();
}

void SimulatedBoard::takeInbox()
{
    bool reset = false;
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        reset = resetRequested;
        resetRequested = false;
        if (core->feedPosition == core->feed.size() || core->feedPosition >= kFeedCompactBytes) {
            core->feed.remove(0, core->feedPosition);
            core->feedPosition = 0;
        }
        if (reset) {
            pendingBytes -= core->feed.size() - core->feedPosition;
            core->feed.clear();
            core->feedPosition = 0;
        }
        core->feed.append(inbox);
        inbox.clear();
    }
    if (reset)
        performReset(ResetCause::External);
}

void SimulatedBoard::runUntil(quint64 targetCycles)
{
    avr_t *avr = core->avr;
    while (core->cycleCount < targetCycles) {
        if (core->halted) {
            // A core the simulator gave up on stays put until the next reset;
            // its time still passes.
            core->cycleCount = targetCycles;
            break;
        }
        const bool lossy = lossyReceive.load() && core->uart;
        if (core->feedPosition < core->feed.size() && (lossy || !core->xoff)
            && core->cycleCount >= core->nextFeedCycle)
            lossy ? receiveFromLine() : feedUart();
        const bool pageOperation = isPageOperation(avr);
        if (pageOperation)
            std::memcpy(core->lockedBootSection.data(), avr->flash + traits().bootStart,
                        size_t(core->lockedBootSection.size()));
        avr_run(avr);
        countElapsedCycles();
        if (pageOperation)
            std::memcpy(avr->flash + traits().bootStart, core->lockedBootSection.constData(),
                        size_t(core->lockedBootSection.size()));
        if (pageOperation && lossy)
            core->spmBusyUntil
                = core->cycleCount + quint64(kPageOperationSeconds * traits().clockHz);
        if (core->spmBusyUntil > 0) {
            if (core->cycleCount < core->spmBusyUntil) {
                avr->data[kSpmcsrAddress] |= kSpmenMask;
            } else {
                avr->data[kSpmcsrAddress] &= quint8(~kSpmenMask);
                core->spmBusyUntil = 0;
            }
        }
        // Each byte leaves on its own: end the slice as soon as there is one.
        if (outputMaxBytes.load() == 1 && outputIdleFrames.load() == 0 && !core->outbox.isEmpty())
            break;
        if (avr->state == cpu_Crashed || avr->state == cpu_Done) {
            qWarning().noquote() << traits().name << "board: the simulated MCU stopped at"
                                 << hexAddress(avr->pc) << "until the next reset";
            core->halted = true;
        }
    }
}

void SimulatedBoard::feedUart()
{
    avr_t *avr = core->avr;
    if (!(avr->data[kUcsr0bAddress] & kRxen0Mask))
        return;
    const quint8 byte = static_cast<quint8>(core->feed.at(core->feedPosition++));
    avr_raise_irq(core->uartInput, byte);
    --pendingBytes;
    core->nextFeedCycle = core->cycleCount + cyclesPerFrame(avr);
}

// The next byte's start bit arrives: the byte goes into the simulator's FIFO
// now, a frame early, because the simulator raises RXC one frame after a
// byte enters an empty FIFO, which is when its stop bit is in. The FIFO then
// holds the received bytes plus the one in the shift register.
void SimulatedBoard::receiveFromLine()
{
    avr_t *avr = core->avr;
    const quint8 byte = static_cast<quint8>(core->feed.at(core->feedPosition++));
    --pendingBytes;
    // The line runs at the sender's rate, which a reset does not change: the
    // rate the program last set while its receiver was on.
    const bool receiving = avr->data[kUcsr0bAddress] & kRxen0Mask;
    if (receiving || core->lineFrameCycles == 0)
        core->lineFrameCycles = cyclesPerFrame(avr);
    core->nextFeedCycle = core->cycleCount + core->lineFrameCycles;
    if (!receiving)
        return;
    if (unreadBytes(core->uart->input) >= kChipReceiveBytes) {
        avr_regbit_setto(avr, core->uart->dor, 1);
        ++overruns;
        return;
    }
    avr_raise_irq(core->uartInput, byte);
}

void SimulatedBoard::countElapsedCycles()
{
    const avr_cycle_count_t now = core->avr->cycle;
    // A reset may start the core's count again from zero.
    core->cycleCount += now >= core->lastCoreCycle ? now - core->lastCoreCycle : now;
    core->lastCoreCycle = now;
}

void SimulatedBoard::performReset(ResetCause cause)
{
    avr_t *avr = core->avr;
    core->nextResetCause = cause;
    avr_reset(avr);
    avr->state = cpu_Running;
    setRegisterBit(avr,
                   cause == ResetCause::PowerOn ? avr->reset_flags.porf : avr->reset_flags.extrf);
    core->lastCoreCycle = avr->cycle;
}

void SimulatedBoard::onCoreReset(avr_t *avr)
{
    auto *board = static_cast<SimulatedBoard *>(avr->custom.data);
    Core &core = *board->core;
    if (core.mcuReset)
        core.mcuReset(avr);
    // As with the BOOTRST fuse: every reset, the watchdog's too, starts the
    // bootloader.
    avr->pc = board->traits().bootStart;
    core.xoff = false;
    core.halted = false;
    core.spmBusyUntil = 0;
    core.nextFeedCycle = core.cycleCount;
    core.resetsToReport.append(core.nextResetCause);
    core.nextResetCause = ResetCause::Watchdog;
    ++board->resets;
}

void SimulatedBoard::onUartOutput(avr_irq_t *, uint32_t value, void *param)
{
    auto *board = static_cast<SimulatedBoard *>(param);
    Core &core = *board->core;
    core.outbox.append(static_cast<char>(value));
    board->frameNs.store(qint64(cyclesPerFrame(core.avr) * kNsPerSecond / board->traits().clockHz));
    // The core's own count may have started again at a reset in this run.
    const avr_cycle_count_t now = core.avr->cycle;
    core.lastOutputCycle
        = core.cycleCount + (now >= core.lastCoreCycle ? now - core.lastCoreCycle : now);
}

void SimulatedBoard::onUartXon(avr_irq_t *, uint32_t, void *param)
{
    static_cast<SimulatedBoard *>(param)->core->xoff = false;
}

void SimulatedBoard::onUartXoff(avr_irq_t *, uint32_t value, void *param)
{
    if (value)
        static_cast<SimulatedBoard *>(param)->core->xoff = true;
}
