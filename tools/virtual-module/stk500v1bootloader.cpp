#include "stk500v1bootloader.h"

namespace {
// AVR061 responses and the command terminator.
constexpr quint8 kRespOk = 0x10;
constexpr quint8 kRespUnknown = 0x12;
constexpr quint8 kRespInSync = 0x14;
constexpr quint8 kRespNoSync = 0x15;
constexpr quint8 kSyncCrcEop = 0x20;

// AVR061 commands.
constexpr quint8 kGetSync = 0x30;
constexpr quint8 kGetSignOn = 0x31;
constexpr quint8 kSetParameter = 0x40;
constexpr quint8 kGetParameter = 0x41;
constexpr quint8 kSetDevice = 0x42;
constexpr quint8 kSetDeviceExt = 0x45;
constexpr quint8 kEnterProgmode = 0x50;
constexpr quint8 kLeaveProgmode = 0x51;
constexpr quint8 kChipErase = 0x52;
constexpr quint8 kCheckAutoinc = 0x53;
constexpr quint8 kLoadAddress = 0x55;
constexpr quint8 kUniversal = 0x56;
constexpr quint8 kUniversalMulti = 0x57;
constexpr quint8 kProgFlash = 0x60;
constexpr quint8 kProgData = 0x61;
constexpr quint8 kProgFuse = 0x62;
constexpr quint8 kProgLock = 0x63;
constexpr quint8 kProgPage = 0x64;
constexpr quint8 kProgFuseExt = 0x65;
constexpr quint8 kReadFlash = 0x70;
constexpr quint8 kReadData = 0x71;
constexpr quint8 kReadFuse = 0x72;
constexpr quint8 kReadLock = 0x73;
constexpr quint8 kReadPage = 0x74;
constexpr quint8 kReadSign = 0x75;
constexpr quint8 kReadOscCal = 0x76;
constexpr quint8 kReadFuseExt = 0x77;
constexpr quint8 kReadOscCalExt = 0x78;

// AVR061 parameters.
constexpr quint8 kParmHwVer = 0x80;
constexpr quint8 kParmSwMajor = 0x81;
constexpr quint8 kParmSwMinor = 0x82;
constexpr quint8 kParmVtarget = 0x84;
constexpr quint8 kParmTopcardDetect = 0x98;

// What this bootloader reports about itself.
constexpr quint8 kHardwareVersion = 0x02;
constexpr quint8 kSoftwareMajor = 0x01;
constexpr quint8 kSoftwareMinor = 0x12;
constexpr quint8 kTargetTenthsOfVolt = 50;
constexpr quint8 kNoTopCard = 0xFF;
constexpr quint8 kOtherParameters = 0x00;

constexpr quint8 kMemoryFlash = 'F';
constexpr quint8 kMemoryEeprom = 'E';
constexpr quint8 kCalibration = 0x80;
constexpr char kSignOnText[] = "AVR STK";
// The header bytes of Cmnd_STK_PROG_PAGE and Cmnd_STK_READ_PAGE: count high,
// count low, memory type.
constexpr int kPageHeaderBytes = 3;
// Parameter bytes of the commands with a fixed length.
int fixedParameterCount(quint8 command)
{
    switch (command) {
    case kSetParameter:
    case kLoadAddress:
    case kProgFlash:
    case kProgFuse:
        return 2;
    case kGetParameter:
    case kProgData:
    case kProgLock:
    case kReadOscCalExt:
        return 1;
    case kSetDevice:
        return 20;
    case kUniversal:
        return 4;
    case kProgFuseExt:
    case kReadPage:
        return 3;
    default:
        return 0;
    }
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}
} // namespace

Stk500v1Bootloader::Stk500v1Bootloader(const BoardTraits &part, Flash &flash)
    : Bootloader(part, flash)
{
}

quint8 Stk500v1Bootloader::parameterValue(quint8 id)
{
    switch (id) {
    case kParmHwVer:
        return kHardwareVersion;
    case kParmSwMajor:
        return kSoftwareMajor;
    case kParmSwMinor:
        return kSoftwareMinor;
    case kParmVtarget:
        return kTargetTenthsOfVolt;
    case kParmTopcardDetect:
        return kNoTopCard;
    default:
        return kOtherParameters;
    }
}

void Stk500v1Bootloader::reset()
{
    request.clear();
    wordAddress = 0;
}

// The total length of the command in `request`, once enough of it has
// arrived to tell; 0 while that is not known yet.
int Stk500v1Bootloader::expectedLength() const
{
    const quint8 command = quint8(request.at(0));
    switch (command) {
    case kSetDeviceExt:
        // The first parameter counts the parameters, itself included.
        if (request.size() < 2)
            return 0;
        return 1 + qMax(1, int(quint8(request.at(1)))) + 1;
    case kUniversalMulti:
        // A count byte n, then n + 1 bytes.
        if (request.size() < 2)
            return 0;
        return 1 + 1 + int(quint8(request.at(1))) + 1 + 1;
    case kProgPage:
        if (request.size() < 3)
            return 0;
        return 1 + kPageHeaderBytes + ((int(quint8(request.at(1))) << 8) | quint8(request.at(2)))
            + 1;
    default:
        return 1 + fixedParameterCount(command) + 1;
    }
}

bool Stk500v1Bootloader::feed(quint8 byte, BootloaderReply *reply)
{
    request.append(char(byte));
    const int length = expectedLength();
    if (length == 0 || request.size() < length)
        return false;
    *reply = BootloaderReply();
    reply->request = request;
    reply->command = quint8(request.at(0));
    request.clear();
    if (quint8(reply->request.back()) != kSyncCrcEop) {
        reply->bytes = QByteArray(1, char(kRespNoSync));
        reply->summary = QStringLiteral("out of sync: %1").arg(hexOf(reply->request.left(16)));
        return true;
    }
    execute(reply);
    return true;
}

void Stk500v1Bootloader::answer(BootloaderReply *reply, const QByteArray &result) const
{
    reply->bytes = QByteArray(1, char(kRespInSync)) + result + QByteArray(1, char(kRespOk));
}

void Stk500v1Bootloader::execute(BootloaderReply *reply)
{
    const QByteArray &r = reply->request;
    const auto at = [&r](int i) { return quint8(r.at(i)); };
    const QString hex = hexOf(r.left(16)) + (r.size() > 16 ? QStringLiteral(" ...") : QString());
    reply->summary
        = QStringLiteral("0x%1 %2").arg(reply->command, 2, 16, QLatin1Char('0')).arg(hex);
    switch (reply->command) {
    case kGetSync:
    case kSetParameter:
    case kSetDevice:
    case kSetDeviceExt:
    case kEnterProgmode:
    case kChipErase: // erasing happens page by page as pages are written
    case kCheckAutoinc:
    case kUniversalMulti:
    case kProgFlash:
    case kProgData:
    case kProgFuse:
    case kProgLock:
    case kProgFuseExt:
        answer(reply, {});
        return;
    case kGetSignOn:
        answer(reply, QByteArray(kSignOnText));
        return;
    case kGetParameter:
        answer(reply, QByteArray(1, char(parameterValue(at(1)))));
        return;
    case kLeaveProgmode:
        answer(reply, {});
        reply->leavesBootloader = true;
        return;
    case kLoadAddress:
        wordAddress = at(1) | (quint32(at(2)) << 8);
        answer(reply, {});
        return;
    case kUniversal:
        answer(reply, QByteArray(1, char(ispRead(at(1), at(2), at(3)))));
        return;
    case kProgPage: {
        const QByteArray data = r.mid(1 + kPageHeaderBytes, r.size() - 2 - kPageHeaderBytes);
        if (at(3) == kMemoryFlash) {
            const quint32 byteAddress = (wordAddress * kBytesPerWord) % quint32(flash.size());
            flash.erasePage(int(byteAddress) / flash.pageSize());
            flash.program(byteAddress, data);
            reply->busyNs = pageWriteNs;
            reply->writtenAddress = int(byteAddress);
            reply->writtenLength = data.size();
        } else if (at(3) == kMemoryEeprom) {
            writeEeprom(wordAddress, data);
        }
        answer(reply, {});
        return;
    }
    case kReadFlash:
        answer(reply, flash.read(wordAddress * kBytesPerWord, kBytesPerWord));
        return;
    case kReadData:
        answer(reply, readEeprom(wordAddress, 1));
        return;
    case kReadFuse:
        answer(reply, bytesOf({ partInfo.lowFuse, partInfo.highFuse }));
        return;
    case kReadLock:
        answer(reply, QByteArray(1, char(partInfo.lockBits)));
        return;
    case kReadPage: {
        const int count = (int(at(1)) << 8) | at(2);
        if (at(3) == kMemoryEeprom)
            answer(reply, readEeprom(wordAddress, count));
        else
            answer(reply, flash.read(wordAddress * kBytesPerWord, count));
        return;
    }
    case kReadSign:
        answer(reply, partInfo.signatureBytes());
        return;
    case kReadOscCal:
    case kReadOscCalExt:
        answer(reply, QByteArray(1, char(kCalibration)));
        return;
    case kReadFuseExt:
        answer(reply, bytesOf({ partInfo.lowFuse, partInfo.highFuse, partInfo.extendedFuse }));
        return;
    default:
        reply->bytes = QByteArray(1, char(kRespUnknown));
        return;
    }
}
