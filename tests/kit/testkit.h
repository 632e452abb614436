#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTest>

#include <functional>
#include <optional>

class QTcpSocket;

namespace TestKit {

// The boards' flash as the tests know it, kept apart from the product's own
// table: the page, the whole flash, and what lies below the bootloader as the
// boards ship.
struct BoardSizes
{
    int page;
    int flash;
    int application;
};
constexpr BoardSizes kUno { 128, 32 * 1024, 32256 };
constexpr BoardSizes kMega { 256, 256 * 1024, 253952 };
// What erased flash reads.
constexpr char kErased = '\xFF';

// rudireze-cli's exit statuses, which scripts rely on: done, failed, and a
// command line that cannot be acted on.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Recognisable bytes: byte i is (seed * seedStep + i * step + i / period)
// & 0xFF, so pages differ by seed and runs within an image shift every period
// bytes (period 0 leaves that shift out). The defaults are the frame tests'.
QByteArray pattern(int size, int seed, int step = 7, int seedStep = 37, int period = 256);

// What a parser found against what a data row expects, a null value for
// "nothing found".
template<typename T> void compareFound(const std::optional<T> &found, const T &expected)
{
    QCOMPARE(found.has_value(), !expected.isNull());
    if (found)
        QCOMPARE(*found, expected);
}

// A command line written as one text, its words apart by spaces; a word "%1"
// to "%9" stands for that value of `values`, which may hold spaces.
QStringList words(const char *text, const QStringList &values = {});

// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);

// Writes a whole file; false when that failed.
bool writeFile(const QString &path, const QByteArray &contents);

// Writes the file an upload reads (by default the window's ./update.bin in
// the test's working directory); a failure fails the calling test.
void writeImage(const QByteArray &image, const QString &path = QStringLiteral("update.bin"));

// Blocking socket work against a module on another thread or in another
// process; each call ends at the latest after timeoutMs.
constexpr int kSocketWaitMs = 10000;
bool connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port,
               int timeoutMs = kSocketWaitMs);
// Reads until what came is enough, the far end stops sending or the time is
// up, and returns what came.
QByteArray readUntil(QTcpSocket &socket, const std::function<bool(const QByteArray &)> &enough,
                     int timeoutMs = kSocketWaitMs);
// Writes a request and collects `count` bytes of answer, or what came.
QByteArray exchange(QTcpSocket &socket, const QByteArray &request, int count,
                    int timeoutMs = kSocketWaitMs);

// The update handshake on a connected AT port: "AT+U2W=CLIENT" and then
// "AT+MCUUPDATE=<family>", each answered with at least two bytes within
// timeoutMs. False when an answer falls short.
bool atUpdateHandshake(QTcpSocket &socket, const QByteArray &family, int timeoutMs);

// Loopback addresses handed out in turn from a first one, so that each part
// of a test meets modules of its own.
class LoopbackAddresses
{
public:
    explicit LoopbackAddresses(const char *first)
        : next(QHostAddress(QString::fromLatin1(first)).toIPv4Address())
    {
    }
    // The first of `count` fresh addresses in a row.
    QHostAddress take(int count = 1)
    {
        const QHostAddress first(next);
        next += quint32(count);
        return first;
    }

private:
    quint32 next;
};

// How long a program a test runs may take to start, and to stop once killed.
constexpr int kProcessStartMs = 10000;
constexpr int kProcessStopMs = 10000;

// A module as rudireze-cli names it on its command line: IP:DATAPORT:ATPORT.
QString target(const QString &address, quint16 dataPort, quint16 atPort);
// The entry of rudireze-cli's --json report for one target; empty when none.
QJsonObject resultFor(const QJsonObject &report, const QString &target);

// Sends a POSIX signal to a process the test started. False when it could not
// be sent, and always on Windows, which has no such signals.
bool sendSignal(qint64 processId, int signalNumber);

} // namespace TestKit
