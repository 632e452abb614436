#pragma once

#include "boardfacts.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

class ModuleServer;

// A scripted stand-in for one module with its board, on a loopback address:
// an AT port and a data port served from a thread of their own. Every STK500
// command (version 1 or 2) gets a reply of the length the bootloader gives,
// unless a fault is set for it; pages land in an emulated flash. Everything it
// received can be read back from the test thread.
class ScriptedModule
{
public:
    enum class Fault {
        None,
        ShortReply, // one byte less than the reply
        LongReply, // one byte more
        SplitReply, // the reply in two pieces, the second a little later
        Close, // the connection is closed instead of replying
        Hold, // the reply waits for release()
        FailedStatus, // v1 Resp_STK_FAILED for Resp_STK_OK, v2 STATUS_CMD_FAILED
        NoSync, // v1: Resp_STK_NOSYNC where Resp_STK_INSYNC belongs
        WrongSequence, // v2: the next sequence number (checksum made to fit)
        BadChecksum, // v2: the checksum off by one bit
    };

    struct Options
    {
        QHostAddress address = QHostAddress(QStringLiteral("127.0.0.2"));
        bool dataRefuses = false;
        bool atRefuses = false;
        // Reply to the first and second AT command.
        QByteArray firstAtReply = "OK\r\n";
        QByteArray secondAtReply = "OK\r\n";
        // Above 0: each AT reply in two pieces, the rest this many bytes in
        // and a little later.
        int atReplySplit = 0;
        // Sent on the data port when the second AT command arrives, as a board
        // that is reset into its bootloader may say something.
        QByteArray resetNoise;
        // Index of the data command (from 0) that the fault applies to; -1 for none.
        int faultCommand = -1;
        Fault fault = Fault::None;
        // Every reply byte written on its own, as a bridge that forwards the
        // UART's bytes as they come.
        bool bytewise = false;
        // The device signature; empty: the board's that speaks the version (v1 UNO, v2 MEGA).
        QByteArray signature;
        // Time a page write takes. Bytes that arrive meanwhile would be lost
        // by the bootloader: they are counted as overruns.
        int pageWriteMs = 0;

        // A module at that address, with that fault on that data command.
        static Options at(const char *address, int faultCommand = -1, Fault fault = Fault::None)
        {
            Options options;
            options.address = QHostAddress(QString::fromLatin1(address));
            options.faultCommand = faultCommand;
            options.fault = fault;
            return options;
        }
    };

    // The larger flash of the two boards.
    static constexpr int kFlashSize = int(boardTraits(BoardKind::Mega).flashBytes);

    explicit ScriptedModule(const Options &options);
    ~ScriptedModule();

    QString ip() const { return options.address.toString(); }
    QString dataPort() const { return QString::number(dataPortNumber); }
    QString atPort() const { return QString::number(atPortNumber); }

    // Sends a held reply.
    void release();

    int dataConnections() const;
    int atConnections() const;
    bool dataDisconnected() const;
    QByteArray atReceived() const;
    QList<QByteArray> dataCommands() const;
    QByteArray flash() const;
    int overruns() const;

private:
    friend class ModuleServer;

    Options options;
    quint16 dataPortNumber = 0;
    quint16 atPortNumber = 0;
    QThread thread;
    ModuleServer *server = nullptr;

    mutable QMutex mutex;
    int dataConnectionCount = 0;
    int atConnectionCount = 0;
    bool dataClosed = false;
    QByteArray atBytes;
    QList<QByteArray> commands;
    QByteArray memory;
    int overrunCount = 0;
};

// A port on the address where nothing listens.
quint16 refusingPort(const QHostAddress &address);
