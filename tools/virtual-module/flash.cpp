#include "flash.h"

#include <algorithm>

namespace {
constexpr char kErased = char(0xFF);
constexpr char kCorruptBit = 0x01;
} // namespace

Flash::Flash(int sizeBytes, int pageBytes)
    : memory(sizeBytes, kErased)
    , pageBytes(pageBytes)
{
}

void Flash::setContents(const QByteArray &data)
{
    memory.fill(kErased);
    const int count = qMin(data.size(), memory.size());
    std::copy(data.constBegin(), data.constBegin() + count, memory.begin());
}

void Flash::eraseAll()
{
    memory.fill(kErased);
}

void Flash::erasePage(int page)
{
    if (page < 0 || page >= pageCount())
        return;
    std::fill(memory.begin() + page * pageBytes, memory.begin() + (page + 1) * pageBytes, kErased);
}

void Flash::program(quint32 byteAddress, const QByteArray &data)
{
    const quint32 total = quint32(memory.size());
    bool touchedCorruptPage = false;
    for (int i = 0; i < data.size(); ++i) {
        const quint32 address = (byteAddress + quint32(i)) % total;
        memory[int(address)] = char(quint8(memory.at(int(address))) & quint8(data.at(i)));
        if (corruptPage >= 0 && int(address) / pageBytes == corruptPage)
            touchedCorruptPage = true;
    }
    if (touchedCorruptPage) {
        const int first = corruptPage * pageBytes;
        memory[first] = char(memory.at(first) ^ kCorruptBit);
    }
}

QByteArray Flash::read(quint32 byteAddress, int length) const
{
    QByteArray out;
    out.reserve(length);
    for (int i = 0; i < length; ++i)
        out.append(char(at(byteAddress + quint32(i))));
    return out;
}

quint8 Flash::at(quint32 byteAddress) const
{
    return quint8(memory.at(int(byteAddress % quint32(memory.size()))));
}
