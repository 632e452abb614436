#include "cli/consoleinput.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <atomic>
#include <cstdio>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
constexpr int kReadChunk = 4096;
} // namespace

#ifdef Q_OS_WIN

namespace {
// The reading thread cannot be interrupted in its blocking read; it is left
// to the end of the process and posts to whichever reader is current.
std::atomic<StandardInput *> currentInput { nullptr };
std::atomic<StopRequests *> currentStop { nullptr };

BOOL WINAPI consoleEvent(DWORD)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
        if (StopRequests *stop = currentStop.load())
            emit stop->requested();
    });
    return TRUE;
}
} // namespace

StandardInput::StandardInput(QObject *parent)
    : QObject(parent)
{
}

StandardInput::~StandardInput()
{
    currentInput = nullptr;
}

void StandardInput::start()
{
    currentInput = this;
    std::thread([] {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[kReadChunk];
        DWORD count = 0;
        while (input != nullptr && input != INVALID_HANDLE_VALUE
               && ReadFile(input, buffer, kReadChunk, &count, nullptr) && count > 0) {
            const QByteArray bytes(buffer, int(count));
            QMetaObject::invokeMethod(QCoreApplication::instance(), [bytes] {
                if (StandardInput *reader = currentInput.load())
                    emit reader->received(bytes);
            });
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
            if (StandardInput *reader = currentInput.load())
                emit reader->ended();
        });
    }).detach();
}

void StandardInput::readAvailable() { }

StopRequests::StopRequests(QObject *parent)
    : QObject(parent)
{
    currentStop = this;
    SetConsoleCtrlHandler(consoleEvent, TRUE);
}

StopRequests::~StopRequests()
{
    SetConsoleCtrlHandler(consoleEvent, FALSE);
    currentStop = nullptr;
}

#else

namespace {
// The signal handler's end of a pipe the event loop watches: a handler may
// do little more than write(2).
int stopPipe[2] = { -1, -1 };

void onStopSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = write(stopPipe[1], &byte, 1);
    (void)ignored;
}

void setStopHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
} // namespace

StandardInput::StandardInput(QObject *parent)
    : QObject(parent)
{
}

StandardInput::~StandardInput() = default;

void StandardInput::start()
{
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
        // Started with standard input closed.
        QMetaObject::invokeMethod(this, &StandardInput::finish, Qt::QueuedConnection);
        return;
    }
    notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StandardInput::readAvailable);
}

void StandardInput::readAvailable()
{
    char buffer[kReadChunk];
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count > 0) {
        emit received(QByteArray(buffer, int(count)));
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        finish();
    }
}

StopRequests::StopRequests(QObject *parent)
    : QObject(parent)
{
    if (pipe(stopPipe) != 0)
        return;
    fcntl(stopPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(stopPipe[1], F_SETFD, FD_CLOEXEC);
    notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        const ssize_t ignored = read(stopPipe[0], &byte, 1);
        (void)ignored;
        emit requested();
    });
    setStopHandler(onStopSignal);
}

StopRequests::~StopRequests()
{
    if (!notifier)
        return;
    setStopHandler(SIG_DFL);
    delete notifier;
    close(stopPipe[0]);
    close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}

#endif

void StandardInput::finish()
{
    if (finished)
        return;
    finished = true;
    if (notifier)
        notifier->setEnabled(false);
    emit ended();
}
