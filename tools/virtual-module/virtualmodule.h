#pragma once

#include "moduleoptions.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

class Announcer;
class AtCommandParser;
class Bootloader;
class ModuleBoard;
class QTcpServer;
class QTcpSocket;
class QTimer;
struct BoardAnswer;

// What a module has seen since it started.
struct ModuleCounters
{
    int announcements = 0;
    int atConnections = 0;
    int atCommands = 0;
    int resets = 0; // AT+MCUUPDATE commands (and resetBoard calls)
    int dataConnections = 0;
    int bootloaderCommands = 0; // complete commands, all resets together
    int commandsSinceReset = 0;
    int pagesWritten = 0;
    int bytesLost = 0; // dropped by the small (or lossy) receive buffer
    int bytesToApplication = 0; // arrived while the board ran its application
    qint64 dataBytesIn = 0;
    qint64 dataBytesOut = 0;
};

// One simulated Wi-Fi serial bridge module with the board behind it, on a
// loopback address of its own: it announces itself over UDP, takes AT
// commands on its AT port, and passes its data port through a serial line
// to the board's emulated bootloader, whose flash can be read at any time.
// Everything runs on the thread's event loop; many modules share one thread.
// With ModuleOptions::simulatedBoard the board is its MCU simulated with its
// real bootloader instead (SimulatedBridge): the module then sees bytes,
// not commands, so the bootloader's counters and signals (commandReceived,
// pageWritten, bootloaderLeft) stay silent and faults other than the AT and
// announcement ones have no effect; bytesLost counts the lossy UART's
// overruns.
class VirtualModule : public QObject
{
    Q_OBJECT

public:
    explicit VirtualModule(const ModuleOptions &options, QObject *parent = nullptr);
    ~VirtualModule() override;

    bool start(QString *error = nullptr);
    void stop();
    bool isRunning() const { return running; }

    const ModuleOptions &options() const { return settings; }
    QHostAddress address() const { return settings.address; }
    quint16 dataPort() const { return dataPortNumber; }
    quint16 atPort() const { return atPortNumber; }
    QString name() const { return hostname; }
    BoardType board() const { return settings.board; }
    bool simulated() const { return settings.simulatedBoard; }
    // The datagram the module announces itself with now.
    QByteArray announcement() const;

    QByteArray flash() const;
    void setFlash(const QByteArray &contents);
    int flashSize() const;
    int pageSize() const;
    QByteArray eeprom() const;
    bool writeFlash(const QString &path, QString *error = nullptr) const;

    FaultOptions faults() const { return settings.faults; }
    void setFaults(const FaultOptions &faults);
    LinkOptions link() const { return settings.link; }
    void setLink(const LinkOptions &link);

    // A simulated board's simulated time per wall-clock time (1: real time,
    // 0: as fast as the host can); nothing for an emulated board.
    void setSimulationSpeed(double factor);

    // Resets the board into its bootloader, as AT+MCUUPDATE does.
    void resetBoard();
    bool inBootloader() const { return bootloaderRunning; }
    ModuleCounters counters() const { return counts; }

    // Lines for a command log are built only while this is on; turning it on
    // logs what the module is (board, ports, bridge and its seed, UART).
    void setLogging(bool on);

signals:
    void announced(const QByteArray &datagram);
    void atCommandReceived(const QByteArray &command);
    void renamed(const QString &name);
    void boardReset();
    void dataConnected();
    void dataDisconnected();
    // A complete bootloader command, numbered from 1 after each reset.
    void commandReceived(int number, const QByteArray &request);
    void pageWritten(int byteAddress, int length);
    void bootloaderLeft();
    void bytesLost(int count);
    void logLine(const QString &line);

private:
    bool listen(QTcpServer *server, quint16 port, bool refuse, quint16 *chosen, QString *error);
    void applyFaults();
    void onAtConnection();
    void onAtData(QTcpSocket *socket, AtCommandParser &parser, QTimer &quiet, bool flush);
    void handleAtCommand(QTcpSocket *socket, int kind, const QByteArray &text,
                         const QByteArray &argument);
    void onDataConnection();
    void onDataGone(QTcpSocket *socket);
    BoardAnswer boardByte(quint8 byte, Bootloader &bootloader);
    QByteArray readClient(qint64 maxBytes);
    void sendToClient(const QByteArray &packet);
    void loseBytes(int count);
    void log(const QString &channel, const QString &text);
    QString description() const;

    ModuleOptions settings;
    QString hostname;
    quint16 dataPortNumber = 0;
    quint16 atPortNumber = 0;
    bool running = false;
    bool logging = false;
    QElapsedTimer uptime;

    ModuleBoard *boardSide = nullptr; // emulated or simulated, as the options say
    bool bootloaderRunning = false;
    ModuleCounters counts;

    Announcer *announcer = nullptr;
    QTcpServer *atServer = nullptr;
    QTcpServer *dataServer = nullptr;
    QPointer<QTcpSocket> dataClient;
};
