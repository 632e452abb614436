#include "platform/consoleinput.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <thread>

#include <windows.h>

namespace {
// The reading thread cannot be interrupted in its blocking read; it is left
// to the end of the process and posts to whichever reader is current.
std::atomic<StandardInput *> currentInput { nullptr };
} // namespace

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
