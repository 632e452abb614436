// The upload worker against the real bootloaders where the window adds
// nothing: a board whose program prints all the time until the reset.
#include "modulethread.h"
#include "realboards.h"

#include "upload/boards.h"
#include "upload/thread.h"

#include <QLoggingCategory>
#include <QtTest>

#include <atomic>

using namespace RealBoards;

Q_DECLARE_METATYPE(BoardKind)

namespace {
constexpr int kUploadTimeoutMs = 60000;
constexpr float kComplete = 1.0f;

// The worker's last report.
struct Outcome
{
    int status = -1;
    float progress = 0;
};

Outcome upload(ModuleThread &modules, int index, BoardKind kind, const QByteArray &image)
{
    UploadRequest request;
    request.at_port = QString::number(modules.atPort(index));
    request.data_port = QString::number(modules.dataPort(index));
    request.host_ip = modules.address(index).toString();
    request.board = boardNamed(deviceText(kind));
    request.image = image;
    Thread worker(request);
    std::atomic<int> status { -1 };
    std::atomic<float> progress { 0 };
    QObject::connect(
        &worker, &Thread::updateover, &worker,
        [&](int, int reported, float fraction) {
            if (reported != Thread::UPDATE_PROGRESS) {
                status = reported;
                progress = fraction;
            }
        },
        Qt::DirectConnection);
    worker.start();
    if (!worker.wait(kUploadTimeoutMs)) {
        worker.requestInterruption();
        worker.wait();
    }
    return { status.load(), progress.load() };
}
} // namespace

class RealWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadsOverAProgramThatPrintsAllTheTime_data();
    void uploadsOverAProgramThatPrintsAllTheTime();
};

void RealWorkerTest::initTestCase()
{
    const QString why = missing();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("simulated boards unavailable: ") + why));
    QLoggingCategory::setFilterRules(QStringLiteral("rudireze.upload.debug=false"));
}

void RealWorkerTest::uploadsOverAProgramThatPrintsAllTheTime_data()
{
    QTest::addColumn<BoardKind>("kind");
    QTest::addColumn<QString>("sketch");
    QTest::newRow("UNO") << BoardKind::Uno << QStringLiteral("tiny-uno");
    QTest::newRow("MEGA") << BoardKind::Mega << QStringLiteral("tiny-mega");
}

// The program's output runs into the data connection right up to the reset;
// none of it may be taken for the bootloader's first answer.
void RealWorkerTest::uploadsOverAProgramThatPrintsAllTheTime()
{
    QFETCH(BoardKind, kind);
    QFETCH(QString, sketch);
    const BoardFiles::Sketch program = BoardFiles::sketch(sketch);
    const BoardFiles::Sketch chatty = BoardFiles::chattySketch(kind);
    QString why;
    const QByteArray image = sketchImage(program, &why);
    QVERIFY2(!image.isEmpty(), qPrintable(why));

    ModuleOptions options = simulatedModules(kind, QHostAddress(QStringLiteral("127.0.0.2")));
    options.initialFlash = sketchImage(chatty, &why);
    QVERIFY2(!options.initialFlash.isEmpty(), qPrintable(why));
    ModuleThread modules;
    QVERIFY2(modules.start(1, options, &why), qPrintable(why));
    QVERIFY(
        readSketchLine(modules.address(0), modules.dataPort(0), chatty.line).contains(chatty.line));

    const Outcome outcome = upload(modules, 0, kind, image);
    QCOMPARE(outcome.status, int(Thread::UPDATE_FINISHED));
    QCOMPARE(outcome.progress, kComplete);
    QCOMPARE(modules.flash(0).left(image.size()), image);
    QVERIFY(readSketchLine(modules.address(0), modules.dataPort(0), program.line)
                .contains(program.line));
}

QTEST_GUILESS_MAIN(RealWorkerTest)
#include "tst_realworker.moc"
