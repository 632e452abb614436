// Floods of made-up modules against the window and rudireze-cli list, each a
// process of its own so that its CPU time and memory are its own:
// - 500 new modules a second for 60 s: the window's CPU share afterwards
//   (goal under 10 % of a core) and its memory (goal under 60 MB);
// - the same flood during `list --seconds 3`: its peak memory (goal 64 MB);
// - 100 new modules a second for RUDIREZE_SOAK_SECONDS (default 120, the full
//   soak 600): the window's memory at the end against after the first sixth
//   (at most a minute) (goal at most 1.05).
// Figures are printed as ratios to their goals.

#include "common/names.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <unistd.h>

#include <cstdio>

namespace {
constexpr int kFloodModulesPerSecond = 500;
constexpr int kFloodSeconds = 60;
constexpr int kSoakModulesPerSecond = 100;
constexpr int kDefaultSoakSeconds = 120;
constexpr int kSoakBaselineLimitSeconds = 60;
constexpr int kSoakBaselineDivisor = 6;
constexpr int kIdleMeasureSeconds = 10;
constexpr int kListSeconds = 3;
constexpr double kIdleCpuGoal = 0.10;
constexpr double kWindowMemoryGoalMb = 60.0;
constexpr double kListMemoryGoalMb = 64.0;
constexpr double kSoakGrowthGoal = 1.05;
constexpr int kStartMs = 10000;
constexpr int kSettleMs = 3000;
constexpr int kStopMs = 5000;
constexpr int kSliceMs = 10;
constexpr int kMsPerSecond = 1000;
constexpr double kKbPerMb = 1024.0;
const char kSender[] = "127.0.0.2";

// A module address no host has: 10.x.y.z, counted up.
QString fakeAddress(int n)
{
    return QStringLiteral("10.%1.%2.%3").arg((n >> 16) & 0xFF).arg((n >> 8) & 0xFF).arg(n & 0xFF);
}

// Sends `perSecond` announcements of new modules for `seconds`, paced in
// slices; `each` runs after every slice (sampling).
template<typename Each>
int flood(QUdpSocket &socket, int &next, int perSecond, int seconds, Each each)
{
    const int slices = seconds * kMsPerSecond / kSliceMs;
    const int perSlice = perSecond * kSliceMs / kMsPerSecond;
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    for (int slice = 0; slice < slices; ++slice) {
        for (int i = 0; i < perSlice; ++i, ++next) {
            const QByteArray payload
                = QStringLiteral("{\"host ip\":\"%1\",\"data port\":\"8000\",\"atcomd port\":"
                                 "\"8001\",\"hostname\":\"fake-%2\"}")
                      .arg(fakeAddress(next))
                      .arg(next)
                      .toUtf8();
            sent += socket.writeDatagram(payload, QHostAddress::LocalHost, kAnnouncementPort) > 0;
        }
        each();
        const qint64 ahead = qint64(slice + 1) * kSliceMs - clock.elapsed();
        if (ahead > 0)
            QThread::msleep(ulong(ahead));
    }
    return sent;
}

QByteArray statusField(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return QByteArray();
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed();
    }
    return QByteArray();
}

// Resident memory in MB (VmRSS), or its peak (VmHWM).
double residentMb(qint64 pid, const char *field = "VmRSS:")
{
    return statusField(pid, field).split(' ').value(0).toDouble() / kKbPerMb;
}

// User and system CPU time of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks, in parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    constexpr int kUtime = 11;
    constexpr int kStime = 12;
    return (fields.value(kUtime).toDouble() + fields.value(kStime).toDouble())
        / double(sysconf(_SC_CLK_TCK));
}

struct Program
{
    explicit Program(const QString &workingDirectory)
    {
        process.setWorkingDirectory(workingDirectory);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kStopMs);
        }
    }
    // Starts the window and gives it time to bind its port; its pid, or 0.
    qint64 startWindow()
    {
        process.start(QStringLiteral(RUDIREZE_WINDOW_EXE), QStringList());
        if (!process.waitForStarted(kStartMs))
            return 0;
        QThread::msleep(kSettleMs);
        return process.processId();
    }
    QProcess process;
};

void report(const char *what, double value, const char *unit, double goal)
{
    std::printf("%-58s %8.2f %-4s goal %6.2f  ratio %.2f %s\n", what, value, unit, goal,
                value / goal, value <= goal ? "(met)" : "(MISSED)");
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir work;
    QUdpSocket socket;
    if (!work.isValid() || !socket.bind(QHostAddress(QLatin1String(kSender)), 0)) {
        std::fprintf(stderr, "cannot set up: %s\n", qPrintable(socket.errorString()));
        return 1;
    }
    int next = 0;
    bool met = true;

    {
        Program window(work.path());
        const qint64 pid = window.startWindow();
        if (pid == 0)
            return 1;
        const double before = residentMb(pid);
        const int sent = flood(socket, next, kFloodModulesPerSecond, kFloodSeconds, [] {});
        const double cpuStart = cpuSeconds(pid);
        QElapsedTimer idle;
        idle.start();
        QThread::sleep(kIdleMeasureSeconds);
        const double share = (cpuSeconds(pid) - cpuStart) / (idle.elapsed() / double(kMsPerSecond));
        const double memory = residentMb(pid);
        std::printf("window: %d announcements of new modules in %d s; %.1f MB before\n", sent,
                    kFloodSeconds, before);
        report("window CPU share after 500 modules/s for 60 s", share * 100, "%",
               kIdleCpuGoal * 100);
        report("window memory after the flood", memory, "MB", kWindowMemoryGoalMb);
        met = met && share <= kIdleCpuGoal && memory <= kWindowMemoryGoalMb;
    }

    {
        Program list(work.path());
        list.process.start(
            QStringLiteral(RUDIREZE_CLI_EXE),
            { QStringLiteral("list"), QStringLiteral("--seconds"), QString::number(kListSeconds) });
        if (!list.process.waitForStarted(kStartMs))
            return 1;
        const qint64 pid = list.process.processId();
        double peak = 0;
        flood(socket, next, kFloodModulesPerSecond, kListSeconds + 1,
              [&] { peak = qMax(peak, residentMb(pid, "VmHWM:")); });
        list.process.waitForFinished(kStopMs);
        report("list --seconds 3 peak memory under 500 modules/s", peak, "MB", kListMemoryGoalMb);
        met = met && peak > 0 && peak <= kListMemoryGoalMb;
    }

    {
        const int soakSeconds = qEnvironmentVariableIsSet("RUDIREZE_SOAK_SECONDS")
            ? qEnvironmentVariableIntValue("RUDIREZE_SOAK_SECONDS")
            : kDefaultSoakSeconds;
        const int baselineSeconds
            = qMin(kSoakBaselineLimitSeconds, qMax(1, soakSeconds / kSoakBaselineDivisor));
        Program window(work.path());
        const qint64 pid = window.startWindow();
        if (pid == 0)
            return 1;
        flood(socket, next, kSoakModulesPerSecond, baselineSeconds, [] {});
        const double baseline = residentMb(pid);
        flood(socket, next, kSoakModulesPerSecond, soakSeconds - baselineSeconds, [] {});
        const double end = residentMb(pid);
        std::printf("window soak: 100 new modules/s for %d s; %.1f MB after %d s, %.1f MB at the "
                    "end\n",
                    soakSeconds, baseline, baselineSeconds, end);
        report("window memory at the end / after the first part", end / baseline, "x",
               kSoakGrowthGoal);
        met = met && end / baseline <= kSoakGrowthGoal;
    }
    return met ? 0 : 1;
}
