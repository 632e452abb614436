#include "platform/interruption.h"

// What both platforms share; catching the signals is in interruption_posix.cpp
// and interruption_win.cpp.

QString Interruption::signalName() const
{
    switch (latest) {
    case kSigHup:
        return QStringLiteral("SIGHUP");
    case kSigInt:
        return QStringLiteral("SIGINT");
    case kSigTerm:
        return QStringLiteral("SIGTERM");
    default:
        return latest == 0 ? QString() : QStringLiteral("signal %1").arg(latest);
    }
}

void Interruption::deliver(int signalNumber)
{
    if (count == 0)
        first = signalNumber;
    latest = signalNumber;
    emit requested(++count);
}
