// Soak of the command-line engine: uploads in a row in one process, without
// pacing, to two in-process virtual modules (an UNO and a MEGA 2560) whose
// lines pass bytes at once. Failures (goal 0), resident memory growth after
// the first tenth (goal under 1 MB) and open descriptors (goal: no growth).
// RUDIREZE_SOAK_UPLOADS sets the count (default 1000; 100 for a quick check).

#include "cli/progressview.h"
#include "cli/uploadsession.h"
#include "modulethread.h"
#include "upload/boards.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {
constexpr int kDefaultUploads = 1000;
constexpr int kWarmUpDivisor = 10;
constexpr int kImageBytes = 6000;
constexpr int kUploadLimitMs = 60000;
constexpr double kGrowthGoalKb = 1024.0;
constexpr int kViewWidth = 80;

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// The engine's protocol trace would bury the figures.
void dropDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(dropDebugLines);
    const int uploads = qEnvironmentVariableIsSet("RUDIREZE_SOAK_UPLOADS")
        ? qEnvironmentVariableIntValue("RUDIREZE_SOAK_UPLOADS")
        : kDefaultUploads;
    const int warmUp = qMax(1, uploads / kWarmUpDivisor);

    ModuleThread uno;
    ModuleThread mega;
    ModuleOptions options;
    options.announceIntervalMs = 0;
    options.address = QHostAddress(QStringLiteral("127.0.0.230"));
    options.board = BoardType::Uno;
    QString error;
    if (!uno.start(1, options, &error)) {
        std::fprintf(stderr, "cannot start the modules: %s\n", qPrintable(error));
        return 1;
    }
    options.address = QHostAddress(QStringLiteral("127.0.0.231"));
    options.board = BoardType::Mega;
    if (!mega.start(1, options, &error)) {
        std::fprintf(stderr, "cannot start the modules: %s\n", qPrintable(error));
        return 1;
    }
    const Target targets[]
        = { { uno.address(0).toString(), uno.dataPort(0), uno.atPort(0), {} },
            { mega.address(0).toString(), mega.dataPort(0), mega.atPort(0), {} } };
    const Board *const boards[]
        = { boardNamed(QStringLiteral("UNO")), boardNamed(QStringLiteral("MEGA2560")) };

    QByteArray image(kImageBytes, '\0');
    QRandomGenerator random(42);
    for (char &byte : image)
        byte = char(random.bounded(256));

    ProgressView view(ProgressView::Mode::Silent, stdout, kViewWidth);
    int failures = 0;
    long baseKb = 0;
    int baseDescriptors = 0;
    for (int i = 0; i < uploads; ++i) {
        if (i == warmUp) {
            baseKb = residentKb();
            baseDescriptors = openDescriptors();
        }
        UploadSession session(image, *boards[i % 2], false, kUploadLimitMs, view);
        const QVector<TargetResult> results = session.run({ targets[i % 2] });
        if (results.size() != 1 || !results.first().succeeded()) {
            ++failures;
            std::fprintf(stderr, "upload %d failed: %s\n", i,
                         results.isEmpty() ? "no result" : qPrintable(results.first().error));
        }
    }
    const long growthKb = residentKb() - baseKb;
    const int descriptorGrowth = openDescriptors() - baseDescriptors;
    std::printf("%d uploads in a row (UNO and MEGA2560 alternating, %d bytes each)\n", uploads,
                kImageBytes);
    std::printf("failures                                 %6d     goal 0\n", failures);
    std::printf("resident memory growth after upload %-5d %6ld KB  goal < %.0f KB  ratio %.2f\n",
                warmUp, growthKb, kGrowthGoalKb, growthKb / kGrowthGoalKb);
    std::printf("open descriptors growth                  %6d     goal 0\n", descriptorGrowth);
    return failures == 0 && growthKb < kGrowthGoalKb && descriptorGrowth <= 0 ? 0 : 1;
}
