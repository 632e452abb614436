#include "emulatedboard.h"

#include "stk500v1bootloader.h"
#include "stk500v2bootloader.h"

namespace {
constexpr qint64 kNsPerUs = 1000;
} // namespace

EmulatedBoard::EmulatedBoard(const ModuleOptions &options, ByteHandler handler, QObject *parent)
    : ModuleBoard(parent)
    , memory(int(boardTraits(options.board).flashBytes), boardTraits(options.board).pageBytes)
{
    const BoardTraits &part = boardTraits(options.board);
    memory.setContents(options.initialFlash);
    if (part.stkVersion == 1)
        bootloader = std::make_unique<Stk500v1Bootloader>(part, memory);
    else
        bootloader = std::make_unique<Stk500v2Bootloader>(part, memory);
    line
        = new SerialLink([this, handler](quint8 byte) { return handler(byte, *bootloader); }, this);
    connect(line, &SerialLink::toClient, this, &ModuleBoard::toClient);
    connect(line, &SerialLink::bytesLost, this, &ModuleBoard::bytesLost);
}

EmulatedBoard::~EmulatedBoard() = default;

void EmulatedBoard::clientReadable()
{
    line->fromClient(readClient(kAllBytes));
}

void EmulatedBoard::dropClientSide()
{
    line->dropClientSide();
}

void EmulatedBoard::resetIntoBootloader()
{
    bootloader->reset();
    line->resetBoardSide();
}

void EmulatedBoard::setLink(const LinkOptions &link, const FaultOptions &faults)
{
    bootloader->setPageWriteNs(link.pageWriteUs >= 0 ? link.pageWriteUs * kNsPerUs
                                                     : bootloader->part().pageWriteNs);
    SerialLink::Settings settings;
    settings.baud = link.baud;
    settings.latencyMs = link.latencyMs;
    settings.smallReceiveBuffer = faults.smallReceiveBuffer || link.lossyUart;
    settings.bridge = link.bridge;
    settings.bridgeSeed = link.bridgeSeed;
    settings.splitPieces = faults.splitPieces;
    settings.splitGapMs = faults.splitGapMs;
    line->setSettings(settings);
    memory.setCorruptPage(faults.corruptPage);
}

QByteArray EmulatedBoard::flash() const
{
    return memory.bytes();
}

void EmulatedBoard::setFlash(const QByteArray &contents)
{
    memory.setContents(contents);
}

int EmulatedBoard::flashSize() const
{
    return memory.size();
}

int EmulatedBoard::pageSize() const
{
    return memory.pageSize();
}

QByteArray EmulatedBoard::eeprom() const
{
    return bootloader->eeprom();
}
