#include "scriptedmodule.h"

#include "stkframes.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int kSplitDelayMs = 30;
using StkFrames::kFailed;
using StkFrames::kInSync;
using StkFrames::kNoSync;
using StkFrames::kOk;
using StkFrames::kStatusFailed;
using StkFrames::kStatusOk;
const QByteArray kProgrammerName("AVRISP_2");
using StkFrames::kMessageStart;
constexpr int kV2HeaderSize = 5;
constexpr int kV2FrameOverhead = 6;

// The board whose bootloader speaks that STK500 version.
const BoardTraits &boardSpeaking(int stkVersion)
{
    for (const BoardTraits &board : kBoardTraits) {
        if (board.stkVersion == stkVersion)
            return board;
    }
    return kBoardTraits[0];
}

// AT+MCUUPDATE= with the name of one of the boards.
bool resetsABoard(const QByteArray &command)
{
    for (const BoardTraits &board : kBoardTraits) {
        if (command == QByteArray("AT+MCUUPDATE=") + board.name)
            return true;
    }
    return false;
}

quint8 at(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

// Length of the version 1 command at the front of `buffer`; 0 while incomplete.
int v1CommandLength(const QByteArray &buffer)
{
    switch (at(buffer, 0)) {
    case 0x30:
    case 0x50:
    case 0x51:
    case 0x75:
        return 2;
    case 0x41:
        return 3;
    case 0x42:
        return 22;
    case 0x45:
        return buffer.size() < 2 ? 0 : at(buffer, 1) + 2;
    case 0x55:
        return 4;
    case 0x56:
        return 6;
    case 0x64:
        return buffer.size() < 3 ? 0 : 5 + (at(buffer, 1) << 8 | at(buffer, 2));
    case 0x74:
        return 5;
    default:
        return buffer.size();
    }
}
} // namespace

class ModuleServer : public QObject
{
public:
    explicit ModuleServer(ScriptedModule &module)
        : module(module)
    {
    }

    void start()
    {
        const ScriptedModule::Options &options = module.options;
        dataServer = new QTcpServer(this);
        atServer = new QTcpServer(this);
        if (options.dataRefuses) {
            module.dataPortNumber = refusingPort(options.address);
        } else {
            dataServer->listen(options.address, 0);
            module.dataPortNumber = dataServer->serverPort();
        }
        if (options.atRefuses) {
            module.atPortNumber = refusingPort(options.address);
        } else {
            atServer->listen(options.address, 0);
            module.atPortNumber = atServer->serverPort();
        }
        connect(dataServer, &QTcpServer::newConnection, this, &ModuleServer::acceptData);
        connect(atServer, &QTcpServer::newConnection, this, &ModuleServer::acceptAt);
    }

    void release()
    {
        if (heldSocket && !heldReply.isEmpty())
            heldSocket->write(heldReply);
        heldReply.clear();
    }

private:
    void acceptData()
    {
        while (QTcpSocket *socket = dataServer->nextPendingConnection()) {
            {
                QMutexLocker lock(&module.mutex);
                ++module.dataConnectionCount;
            }
            dataSocket = socket;
            // Replies in pieces go out as pieces, not held back for an ACK.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readData(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this] {
                QMutexLocker lock(&module.mutex);
                module.dataClosed = true;
            });
        }
    }

    void acceptAt()
    {
        while (QTcpSocket *socket = atServer->nextPendingConnection()) {
            {
                QMutexLocker lock(&module.mutex);
                ++module.atConnectionCount;
            }
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readAt(socket); });
        }
    }

    void readAt(QTcpSocket *socket)
    {
        const QByteArray bytes = socket->readAll();
        {
            QMutexLocker lock(&module.mutex);
            module.atBytes += bytes;
        }
        atBuffer += bytes;
        // The first command ends its line; the second has no line end at all.
        const QByteArray client("AT+U2W=CLIENT\r\n");
        if (atBuffer.startsWith(client)) {
            atBuffer.remove(0, client.size());
            sendAt(socket, module.options.firstAtReply);
        }
        if (resetsABoard(atBuffer)) {
            atBuffer.clear();
            if (dataSocket && !module.options.resetNoise.isEmpty()) {
                dataSocket->write(module.options.resetNoise);
                dataSocket->flush();
            }
            sendAt(socket, module.options.secondAtReply);
        }
    }

    void sendAt(QTcpSocket *socket, const QByteArray &reply)
    {
        const int split = module.options.atReplySplit;
        socket->write(reply.left(split > 0 ? split : reply.size()));
        if (split <= 0)
            return;
        socket->flush();
        const QByteArray rest = reply.mid(split);
        QTimer::singleShot(kSplitDelayMs, socket, [socket, rest] { socket->write(rest); });
    }

    void readData(QTcpSocket *socket)
    {
        const QByteArray bytes = socket->readAll();
        if (writing && !bytes.isEmpty()) {
            QMutexLocker lock(&module.mutex);
            module.overrunCount += bytes.size();
        }
        dataBuffer += bytes;
        while (!dataBuffer.isEmpty()) {
            int length = 0;
            if (at(dataBuffer, 0) == kMessageStart) {
                if (dataBuffer.size() < kV2HeaderSize)
                    return;
                length = (at(dataBuffer, 2) << 8 | at(dataBuffer, 3)) + kV2FrameOverhead;
            } else {
                length = v1CommandLength(dataBuffer);
            }
            if (length == 0 || dataBuffer.size() < length)
                return;
            const QByteArray command = dataBuffer.left(length);
            dataBuffer.remove(0, length);
            answer(socket, command);
        }
    }

    // The reply as the option's fault has it.
    QByteArray faulted(QByteArray reply, bool v2)
    {
        using Fault = ScriptedModule::Fault;
        const int last = reply.size() - 1;
        switch (module.options.fault) {
        case Fault::ShortReply:
            return reply.left(last);
        case Fault::LongReply:
            return reply + kOk;
        case Fault::NoSync:
            return reply.replace(0, 1, QByteArray(1, kNoSync));
        case Fault::BadChecksum:
            return reply.replace(last, 1, QByteArray(1, static_cast<char>(reply.at(last) ^ 1)));
        case Fault::FailedStatus:
            if (!v2)
                return reply.replace(last, 1, QByteArray(1, kFailed));
            reply[kV2HeaderSize + 1] = kStatusFailed;
            break;
        case Fault::WrongSequence:
            reply[1] = static_cast<char>(reply.at(1) + 1);
            break;
        default:
            return reply;
        }
        // The checksum made to fit: the frame is sound, its content is not.
        reply[last] = 0;
        for (int i = 0; i < last; ++i)
            reply[last] = static_cast<char>(reply.at(last) ^ reply.at(i));
        return reply;
    }

    void send(QTcpSocket *socket, const QByteArray &bytes)
    {
        if (!module.options.bytewise) {
            socket->write(bytes);
            return;
        }
        for (char byte : bytes) {
            socket->write(&byte, 1);
            socket->flush();
        }
    }

    void answer(QTcpSocket *socket, const QByteArray &command)
    {
        const int index = commandCount++;
        const bool v2 = at(command, 0) == kMessageStart;
        QByteArray reply = v2 ? v2Reply(command) : v1Reply(command);
        {
            QMutexLocker lock(&module.mutex);
            module.commands.append(command);
        }
        using Fault = ScriptedModule::Fault;
        const Fault fault
            = index == module.options.faultCommand ? module.options.fault : Fault::None;
        if (fault != ScriptedModule::Fault::None)
            reply = faulted(reply, v2);
        const bool writesPage = v2 ? at(command, kV2HeaderSize) == 0x13 : at(command, 0) == 0x64;
        if (writesPage && module.options.pageWriteMs > 0 && fault != ScriptedModule::Fault::Close
            && fault != ScriptedModule::Fault::Hold) {
            // As the bootloaders do: version 1 is in sync at once and OK after
            // the write, version 2 answers whole after it.
            const int early = v2 ? 0 : 1;
            send(socket, reply.left(early));
            writing = true;
            const QByteArray rest = reply.mid(early);
            QTimer::singleShot(module.options.pageWriteMs, socket, [this, socket, rest] {
                writing = false;
                send(socket, rest);
            });
            return;
        }
        switch (fault) {
        case ScriptedModule::Fault::SplitReply: {
            const int half = reply.size() / 2;
            send(socket, reply.left(half));
            const QByteArray rest = reply.mid(half);
            QTimer::singleShot(kSplitDelayMs, socket, [this, socket, rest] { send(socket, rest); });
            break;
        }
        case ScriptedModule::Fault::Close:
            socket->disconnectFromHost();
            break;
        case ScriptedModule::Fault::Hold:
            heldSocket = socket;
            heldReply = reply;
            break;
        default:
            send(socket, reply);
            break;
        }
    }

    void program(quint32 byteAddress, const QByteArray &data)
    {
        QMutexLocker lock(&module.mutex);
        const auto end = static_cast<quint32>(module.memory.size());
        for (int i = 0; i < data.size() && byteAddress + i < end; ++i)
            module.memory[byteAddress + i] = data.at(i);
    }

    QByteArray v1Reply(const QByteArray &command)
    {
        switch (at(command, 0)) {
        case 0x41:
        case 0x56:
            return QByteArray(1, kInSync) + QByteArray(1, '\x02') + kOk;
        case 0x75:
            return QByteArray(1, kInSync) + signature(1) + kOk;
        case 0x55:
            wordAddress = at(command, 1) | at(command, 2) << 8;
            break;
        case 0x64:
            program(wordAddress * 2, command.mid(4, command.size() - 5));
            break;
        case 0x74: {
            QMutexLocker lock(&module.mutex);
            const int count = at(command, 1) << 8 | at(command, 2);
            return QByteArray(1, kInSync) + module.memory.mid(wordAddress * 2, count) + kOk;
        }
        default:
            break;
        }
        return QByteArray(1, kInSync) + kOk;
    }

    QByteArray v2Reply(const QByteArray &frame)
    {
        const QByteArray body = frame.mid(kV2HeaderSize, frame.size() - kV2FrameOverhead);
        const char code = body.at(0);
        QByteArray answer(1, code);
        answer += kStatusOk;
        switch (at(body, 0)) {
        case 0x01:
            answer += static_cast<char>(kProgrammerName.size()) + kProgrammerName;
            break;
        case 0x03:
            answer += '\x02';
            break;
        case 0x1D:
            // The four bytes shifted back: a zero, the instruction's first
            // two bytes, then the signature byte read.
            answer += QByteArray(1, '\0') + body.mid(4, 2) + signature(2).mid(at(body, 6), 1)
                + kStatusOk;
            break;
        case 0x06:
            wordAddress
                = (at(body, 1) & 0x7F) << 24 | at(body, 2) << 16 | at(body, 3) << 8 | at(body, 4);
            break;
        case 0x13: {
            const int count = at(body, 1) << 8 | at(body, 2);
            program(wordAddress * 2, body.mid(10, count));
            // As the bootloader does: the address moves on past the page.
            wordAddress += count / 2;
            break;
        }
        case 0x14: {
            // Read back from the address on, which moves on as for a write.
            const int count = at(body, 1) << 8 | at(body, 2);
            QMutexLocker lock(&module.mutex);
            answer += module.memory.mid(wordAddress * 2, count) + kStatusOk;
            wordAddress += count / 2;
            break;
        }
        default:
            break;
        }
        QByteArray reply;
        reply += static_cast<char>(kMessageStart);
        reply += frame.at(1);
        reply += static_cast<char>(answer.size() >> 8);
        reply += static_cast<char>(answer.size() & 0xFF);
        reply += '\x0E';
        reply += answer;
        char sum = 0;
        for (char byte : reply)
            sum ^= byte;
        return reply + sum;
    }

    QByteArray signature(int stkVersion) const
    {
        return module.options.signature.isEmpty() ? boardSpeaking(stkVersion).signatureBytes()
                                                  : module.options.signature;
    }

    ScriptedModule &module;
    bool writing = false;
    QTcpServer *dataServer = nullptr;
    QTcpServer *atServer = nullptr;
    QByteArray atBuffer;
    QByteArray dataBuffer;
    int commandCount = 0;
    quint32 wordAddress = 0;
    QTcpSocket *dataSocket = nullptr;
    QTcpSocket *heldSocket = nullptr;
    QByteArray heldReply;
};

ScriptedModule::ScriptedModule(const Options &options)
    : options(options)
    , memory(kFlashSize, '\xFF')
{
    server = new ModuleServer(*this);
    server->moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        server, [this] { server->start(); }, Qt::BlockingQueuedConnection);
}

ScriptedModule::~ScriptedModule()
{
    // The server and its sockets die in their own thread.
    QMetaObject::invokeMethod(
        server, [this] { delete server; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void ScriptedModule::release()
{
    QMetaObject::invokeMethod(
        server, [this] { server->release(); }, Qt::QueuedConnection);
}

int ScriptedModule::dataConnections() const
{
    QMutexLocker lock(&mutex);
    return dataConnectionCount;
}

int ScriptedModule::atConnections() const
{
    QMutexLocker lock(&mutex);
    return atConnectionCount;
}

bool ScriptedModule::dataDisconnected() const
{
    QMutexLocker lock(&mutex);
    return dataClosed;
}

QByteArray ScriptedModule::atReceived() const
{
    QMutexLocker lock(&mutex);
    return atBytes;
}

QList<QByteArray> ScriptedModule::dataCommands() const
{
    QMutexLocker lock(&mutex);
    return commands;
}

QByteArray ScriptedModule::flash() const
{
    QMutexLocker lock(&mutex);
    return memory;
}

int ScriptedModule::overruns() const
{
    QMutexLocker lock(&mutex);
    return overrunCount;
}

quint16 refusingPort(const QHostAddress &address)
{
    QTcpServer probe;
    probe.listen(address, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
