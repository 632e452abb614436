#include "fakedevices.h"

#include <cstring>

FakeLine::FakeLine()
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

qint64 FakeLine::bytesAvailable() const
{
    return pending.size() + QIODevice::bytesAvailable();
}

qint64 FakeLine::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin<qint64>(maxSize, pending.size());
    memcpy(data, pending.constData(), static_cast<size_t>(count));
    pending.remove(0, static_cast<int>(count));
    readSizes.append(count);
    return count;
}

bool PieceDevice::waitForReadyRead(int msecs)
{
    waits.append(msecs);
    if (pieces.isEmpty())
        return false;
    pending += pieces.takeFirst();
    return true;
}

qint64 PieceDevice::writeData(const char *data, qint64 maxSize)
{
    written.append(data, static_cast<int>(maxSize));
    return maxSize;
}
