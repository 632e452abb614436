#include "stkwriter.h"

#include "stkframes.h"

namespace {
// AVR061
using StkFrames::kInSync;
using StkFrames::kOk;
constexpr char kGetSync = 0x30;
constexpr char kReadSign = 0x75;
constexpr char kEnterProgmode = 0x50;
constexpr char kLeaveProgmode = 0x51;

// AVR068
using StkFrames::kMessageStart;
using StkFrames::kToken;
constexpr int kFrameHeaderBytes = 5; // start, sequence, size high, size low, token
using StkFrames::kStatusOk;
constexpr char kCmdSignOn = 0x01;
constexpr char kCmdLoadAddress = 0x06;
constexpr char kCmdChipEraseIsp = 0x12;
constexpr char kCmdReadFlashIsp = 0x14;
constexpr char kCmdReadSignatureIsp = 0x1B;
// Bit 31 of a load address asks for the extended (RAMPZ) address byte.
constexpr quint32 kExtendedAddressFlag = 0x80000000u;
constexpr quint32 kSixteenBitWords = 0x10000;
constexpr int kSignatureBytes = 3;

QByteArray padded(const QByteArray &page, int pageBytes)
{
    return page + QByteArray(pageBytes - page.size(), '\xff');
}
} // namespace

bool Stk500v1Writer::command(const QByteArray &request, int answerBytes, QByteArray *answer)
{
    const int replyBytes = answerBytes + 2;
    link.clear();
    link.send(request);
    if (!link.waitForBytes(replyBytes, kReplyTimeoutMs)) {
        lastError = QStringLiteral("command %1: %2 of %3 reply bytes")
                        .arg(QString::fromLatin1(request.left(1).toHex()))
                        .arg(link.received().size())
                        .arg(replyBytes);
        return false;
    }
    const QByteArray reply = link.take(replyBytes);
    if (reply.front() != kInSync || reply.back() != kOk || !link.received().isEmpty()) {
        lastError = QStringLiteral("command %1: reply %2")
                        .arg(QString::fromLatin1(request.left(1).toHex()),
                             QString::fromLatin1((reply + link.received()).toHex(' ')));
        return false;
    }
    if (answer)
        *answer = reply.mid(1, answerBytes);
    return true;
}

bool Stk500v1Writer::sync()
{
    return command(StkFrames::v1(kGetSync), 0);
}

QByteArray Stk500v1Writer::readSignature()
{
    QByteArray signature;
    return command(StkFrames::v1(kReadSign), kSignatureBytes, &signature) ? signature
                                                                          : QByteArray();
}

bool Stk500v1Writer::enterProgrammingMode()
{
    return command(StkFrames::v1(kEnterProgmode), 0);
}

bool Stk500v1Writer::loadAddress(quint32 wordAddress)
{
    return command(StkFrames::v1LoadAddress(static_cast<quint16>(wordAddress)), 0);
}

bool Stk500v1Writer::programPage(const QByteArray &data)
{
    return command(StkFrames::v1ProgramPage(data), 0);
}

QByteArray Stk500v1Writer::readPage(int size)
{
    QByteArray data;
    return command(StkFrames::v1ReadPage(size), size, &data) ? data : QByteArray();
}

bool Stk500v1Writer::leaveProgrammingMode()
{
    return command(StkFrames::v1(kLeaveProgmode), 0);
}

bool Stk500v1Writer::writeImage(const QByteArray &image, int pageBytes, bool padLastPage)
{
    for (int offset = 0; offset < image.size(); offset += pageBytes) {
        QByteArray page = image.mid(offset, pageBytes);
        if (padLastPage)
            page = padded(page, pageBytes);
        if (!loadAddress(quint32(offset / 2)) || !programPage(page))
            return false;
    }
    return true;
}

QByteArray Stk500v1Writer::readImage(int size, int pageBytes)
{
    QByteArray image;
    for (int offset = 0; offset < size; offset += pageBytes) {
        const int chunk = std::min(pageBytes, size - offset);
        if (!loadAddress(quint32(offset / 2)))
            return QByteArray();
        const QByteArray data = readPage(chunk);
        if (data.isEmpty())
            return QByteArray();
        image.append(data);
    }
    return image;
}

QByteArray Stk500v2Writer::transact(const QByteArray &body)
{
    const QString what = QString::fromLatin1(body.left(1).toHex());
    link.clear();
    link.send(StkFrames::v2(sequence, body));
    if (!link.waitForBytes(kFrameHeaderBytes, kReplyTimeoutMs)) {
        lastError = QStringLiteral("message %1: no answer").arg(what);
        return QByteArray();
    }
    const QByteArray &head = link.received();
    const int size = (static_cast<quint8>(head.at(2)) << 8) | static_cast<quint8>(head.at(3));
    if (!link.waitForBytes(kFrameHeaderBytes + size + 1, kReplyTimeoutMs)) {
        lastError = QStringLiteral("message %1: answer cut short").arg(what);
        return QByteArray();
    }
    const QByteArray reply = link.take(kFrameHeaderBytes + size + 1);
    quint8 sum = 0;
    for (char c : reply)
        sum ^= static_cast<quint8>(c);
    if (static_cast<quint8>(reply.at(0)) != kMessageStart
        || static_cast<quint8>(reply.at(1)) != sequence
        || static_cast<quint8>(reply.at(4)) != kToken || sum != 0 || !link.received().isEmpty()) {
        lastError = QStringLiteral("message %1: bad answer %2")
                        .arg(what, QString::fromLatin1(reply.toHex(' ')));
        return QByteArray();
    }
    ++sequence;
    return reply.mid(kFrameHeaderBytes, size);
}

bool Stk500v2Writer::expectOk(const QByteArray &body, const char *what)
{
    const QByteArray answer = transact(body);
    if (answer.size() < 2 || answer.at(0) != body.at(0) || answer.at(1) != kStatusOk) {
        if (!answer.isEmpty())
            lastError = QStringLiteral("%1: answer %2")
                            .arg(QLatin1String(what), QString::fromLatin1(answer.toHex(' ')));
        return false;
    }
    return true;
}

QByteArray Stk500v2Writer::signOn()
{
    return transact(QByteArray(1, kCmdSignOn));
}

bool Stk500v2Writer::enterProgrammingMode()
{
    return expectOk(StkFrames::v2EnterBody(), "enter programming mode");
}

QByteArray Stk500v2Writer::readSignature()
{
    QByteArray signature;
    for (int index = 0; index < kSignatureBytes; ++index) {
        QByteArray body = QByteArray::fromHex("1b04300000 00");
        body[4] = static_cast<char>(index);
        const QByteArray answer = transact(body);
        if (answer.size() != 4 || answer.at(0) != kCmdReadSignatureIsp || answer.at(1) != kStatusOk)
            return QByteArray();
        signature.append(answer.at(2));
    }
    return signature;
}

quint8 Stk500v2Writer::chipErase()
{
    const QByteArray answer = transact(QByteArray::fromHex("12 0a 00 ac 80 00 00"));
    return answer.size() >= 2 && answer.at(0) == kCmdChipEraseIsp
        ? static_cast<quint8>(answer.at(1))
        : 0xFF;
}

bool Stk500v2Writer::loadAddress(quint32 wordAddress)
{
    if (wordAddress >= kSixteenBitWords)
        wordAddress |= kExtendedAddressFlag;
    QByteArray body(1, kCmdLoadAddress);
    for (int shift = 24; shift >= 0; shift -= 8)
        body.append(static_cast<char>((wordAddress >> shift) & 0xFF));
    return expectOk(body, "load address");
}

bool Stk500v2Writer::programPage(const QByteArray &data)
{
    return expectOk(StkFrames::v2ProgramPageBody(data), "program flash");
}

QByteArray Stk500v2Writer::readPage(int size)
{
    const QByteArray answer = transact(StkFrames::v2ReadFlashBody(size));
    if (answer.size() != size + 3 || answer.at(0) != kCmdReadFlashIsp || answer.at(1) != kStatusOk
        || answer.back() != kStatusOk)
        return QByteArray();
    return answer.mid(2, size);
}

bool Stk500v2Writer::leaveProgrammingMode()
{
    return expectOk(StkFrames::v2LeaveBody(), "leave programming mode");
}

bool Stk500v2Writer::writeImage(const QByteArray &image, int pageBytes)
{
    for (int offset = 0; offset < image.size(); offset += pageBytes) {
        if (!loadAddress(quint32(offset / 2))
            || !programPage(padded(image.mid(offset, pageBytes), pageBytes)))
            return false;
    }
    return true;
}

QByteArray Stk500v2Writer::readImage(int size, int pageBytes)
{
    QByteArray image;
    for (int offset = 0; offset < size; offset += pageBytes) {
        if (!loadAddress(quint32(offset / 2)))
            return QByteArray();
        const QByteArray data = readPage(std::min(pageBytes, size - offset));
        if (data.isEmpty())
            return QByteArray();
        image.append(data);
    }
    return image;
}
