// Stands in for the simulated boards when the build lacked libsimavr: every
// start fails and says what to install.
#include "simulatedbridge.h"

namespace {
constexpr char kMissing[] = VIRTUAL_MODULE_SIMBOARD_MISSING;

QString unavailableText()
{
    return QStringLiteral("simulated boards are not in this build (missing: %1)")
        .arg(QLatin1String(kMissing));
}
} // namespace

struct SimulatedBridge::State
{
};

SimulatedBridge::SimulatedBridge(const ModuleOptions &options, QObject *parent)
    : ModuleBoard(parent)
    , boardType(options.board)
    , d(std::make_unique<State>())
{
}

SimulatedBridge::~SimulatedBridge() = default;

bool SimulatedBridge::available(QString *why)
{
    if (why)
        *why = unavailableText();
    return false;
}

bool SimulatedBridge::start(QString *error)
{
    if (error)
        *error = unavailableText();
    return false;
}

void SimulatedBridge::stop() { }
void SimulatedBridge::setLink(const LinkOptions &, const FaultOptions &) { }
void SimulatedBridge::setSpeed(double) { }
void SimulatedBridge::clientReadable() { }
void SimulatedBridge::dropClientSide() { }
void SimulatedBridge::resetIntoBootloader() { }
QByteArray SimulatedBridge::flash() const
{
    return QByteArray();
}
void SimulatedBridge::setFlash(const QByteArray &) { }
int SimulatedBridge::flashSize() const
{
    return 0;
}
int SimulatedBridge::pageSize() const
{
    return 0;
}
QByteArray SimulatedBridge::eeprom() const
{
    return QByteArray(boardTraits(boardType).eepromBytes, char(0xFF));
}
int SimulatedBridge::resetCount() const
{
    return 0;
}
int SimulatedBridge::lostBytes() const
{
    return 0;
}
bool SimulatedBridge::startBoard(QString *)
{
    return false;
}
void SimulatedBridge::applyLinkToBoard() { }
void SimulatedBridge::loadApplication(const QByteArray &) { }
void SimulatedBridge::takeFromClient() { }
void SimulatedBridge::fromBoard(const QByteArray &) { }
void SimulatedBridge::pump() { }
