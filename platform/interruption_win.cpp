#include "platform/interruption.h"

#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace {
std::atomic<Interruption *> current { nullptr };
std::atomic<int> received { 0 };
int deliveredLimit = 1;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? Interruption::kSigInt
                                                                          : Interruption::kSigHup;
    if (received.fetch_add(1) >= deliveredLimit)
        ExitProcess(UINT(Interruption::kSignalExitBase + number));
    // The handler runs on a thread of its own.
    if (Interruption *interruption = current.load())
        QMetaObject::invokeMethod(interruption, "deliver", Qt::QueuedConnection,
                                  Q_ARG(int, number));
    return TRUE;
}
} // namespace

Interruption::Interruption(int delivered, Hangup, QObject *parent)
    : QObject(parent)
{
    received = 0;
    deliveredLimit = delivered;
    current = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

Interruption::~Interruption()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current = nullptr;
}
