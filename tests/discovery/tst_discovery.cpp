#include "announcer.h"
#include "app/devicecolumns.h"
#include "discovery/announcement.h"
#include "discovery/announcementlistener.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include <QComboBox>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef Q_OS_LINUX
#include <QSocketNotifier>

#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {
constexpr int kLivenessTicks = 5;
constexpr int kHostileNesting = 32000; // as deep as a datagram holds
constexpr int kLargestDatagram = 65507;
constexpr int kBurstSenders = 30;
constexpr int kBurstRounds = 4;
constexpr int kTickIntervalMs = 10;
constexpr int kProcessTimeoutMs = 5000;
constexpr int kFloodSenders = 50;
constexpr int kFloodMs = 2000;
constexpr int kFloodBurst = 20;
constexpr std::chrono::milliseconds kFloodPause(1);
constexpr int kListedWithinMs = 3000;
constexpr int kSharingModules = 6;
constexpr int kListRuns = 3;
constexpr int kSharingAnnounceMs = 200;
constexpr int kAnnounceEveryMs = 1000;
// Longer than the window's pass over the socket may take.
constexpr long kStallNs = 6000000;
constexpr long kFirstDelayNs = 1000;
constexpr long kDelayStepNs = 1000;
constexpr long kDelaySteps = 40;

const QString kFullWidthColon = QString(QChar(0xff1a));

QString addedLabel(int count)
{
    return QStringLiteral("Online Count") + kFullWidthColon + QString::number(count);
}

QString removedLabel(int count)
{
    return QStringLiteral("online count") + kFullWidthColon + QString::number(count);
}

const QString kComboStyleSheet
    = QStringLiteral("QComboBox:hover{background-color:transparent;}QComboBox{background-color:"
                     "transparent;")
    + QString(17, QLatin1Char(' ')) + QStringLiteral("}");

const QString kUploadStyleSheet
    = QStringLiteral("QPushButton:hover{background-color: qconicalgradient(cx:0.5, cy:0.522909, "
                     "angle:179.9, stop:0.494318 rgba(2, 225, 250, 255), stop:0.5 rgba(2, 242, "
                     "251, 255));}QPushButton{background-color:transparent;")
    + QString(16, QLatin1Char(' ')) + QStringLiteral("border: 1px solid rgb(124, 124, 124);")
    + QString(17, QLatin1Char(' '))
    + QStringLiteral("border-radius:5px;}QPushButton:pressed{background-color:yellow;")
    + QString(17, QLatin1Char(' ')) + QStringLiteral("border: 1px solid rgb(124, 124, 124);")
    + QString(17, QLatin1Char(' ')) + QStringLiteral("}");

// The window with its refresh timer stopped: the tests run the liveness sweep
// themselves instead of waiting for ticks.
struct DiscoveryWindow : QuietWindow
{
    QString cell(int row, int column) const
    {
        const QTableWidgetItem *item = table->item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }

    QStringList rowTexts(int row) const
    {
        return { cell(row, 0), cell(row, 2), cell(row, 3), cell(row, 4) };
    }

    QString label() const { return probe.ui().userNumLabel->text(); }
};

#ifdef Q_OS_LINUX
// Each time the window's socket reports datagrams, a timer stops the window's
// thread a few microseconds later, for longer than one pass over the socket
// may take, as a busy machine's scheduler may: the slot then runs late, its
// first lines included. The delay sweeps the slot's opening microseconds.
class LateSlots : public QObject
{
public:
    explicit LateSlots(QObject *socket)
    {
        struct sigaction stall = {};
        stall.sa_handler = [](int) {
            const timespec pause { 0, kStallNs };
            nanosleep(&pause, nullptr);
        };
        stall.sa_flags = SA_RESTART;
        sigaction(SIGUSR2, &stall, nullptr);
        sigevent due = {};
        due.sigev_notify = SIGEV_THREAD_ID;
        due.sigev_signo = SIGUSR2;
        due._sigev_un._tid = pid_t(syscall(SYS_gettid)); // sigev_notify_thread_id
        timer_create(CLOCK_MONOTONIC, &due, &timer);
        for (QSocketNotifier *notifier : socket->findChildren<QSocketNotifier *>()) {
            if (notifier->type() == QSocketNotifier::Read)
                notifier->installEventFilter(this);
        }
    }
    ~LateSlots() override
    {
        timer_delete(timer);
        // A stall still on its way is dropped.
        signal(SIGUSR2, SIG_IGN);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct) {
            itimerspec due = {};
            due.it_value.tv_nsec = kFirstDelayNs + (++notifications % kDelaySteps) * kDelayStepNs;
            timer_settime(timer, 0, &due, nullptr);
        }
        return false;
    }

private:
    timer_t timer = nullptr;
    long notifications = 0;
};
#endif

QByteArray nested(int depth)
{
    return QByteArray("{\"host ip\":") + QByteArray(depth, '[') + "1" + QByteArray(depth, ']')
        + "}";
}
} // namespace

class DiscoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void announcedModulesGetRowsAtTheTop();
    void onlyTheNameCellIsEditable();
    void keysInAnyOrderNumbersAndExtraKeys();
    void droppedAnnouncementsLeaveNoTrace();
    void knownModuleKeepsItsRow();
    void nameLikeAnAddressHidesNothing();
    void rowsAreFoundByTheExactAddressText();
    void silentModuleLeavesOnTheFourthSweep();
    void refreshTickSweepsInBothModes_data();
    void refreshTickSweepsInBothModes();
    void hostilePayloadsLeaveTheWindowResponsive();
    void burstFromManySenders();
    void floodOfModulesIsCapped();
    void floodWhileTheWindowStallsLeavesItListening();
    void everyListenerSeesEveryModule();
    void followingLeavesTheEventLoopItsTurn();
    void localIdentity();
    void boardTypeIsReadable();
};

void DiscoveryTest::announcedModulesGetRowsAtTheTop()
{
    DiscoveryWindow w;
    Announcer first(moduleAddress(0));
    QVERIFY(first.isBound());
    QVERIFY(first.send(Announcer::announcement(moduleAddress(0), "8000", "8001", "alpha")));
    QTRY_COMPARE(w.table->rowCount(), 1);

    QCOMPARE(w.rowTexts(0), QStringList({ "alpha", moduleAddress(0), "8000", "8001" }));
    QCOMPARE(w.label(), addedLabel(1));
    QCOMPARE(w.probe.liveness().value(moduleAddress(0)), kLivenessTicks);
    for (int column : { 0, 2, 3, 4 })
        QCOMPARE(w.table->item(0, column)->textAlignment(), int(Qt::AlignHCenter));
    QCOMPARE(w.cell(0, 6), QString());

    auto *box = qobject_cast<QComboBox *>(w.table->cellWidget(0, DeviceColumn));
    QVERIFY(box);
    QCOMPARE(box->count(), 4);
    const QStringList boards = { "MEGA2560", "UNO", "Orvex3", "Orvex0" };
    for (int i = 0; i < boards.size(); ++i) {
        QCOMPARE(box->itemText(i), boards.at(i));
        QVERIFY(box->itemIcon(i).isNull());
        QVERIFY(!box->itemData(i, Qt::UserRole).isValid());
    }
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(box->currentText(), QStringLiteral("MEGA2560"));
    QCOMPARE(box->styleSheet().size(), 103);
    QCOMPARE(box->styleSheet(), kComboStyleSheet);
    QVERIFY(box->isEnabled());

    auto *button = qobject_cast<QPushButton *>(w.table->cellWidget(0, SendColumn));
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Upload"));
    QVERIFY(button->isEnabled());
    QCOMPARE(button->styleSheet().size(), 405);
    QCOMPARE(button->styleSheet(), kUploadStyleSheet);

    Announcer second(moduleAddress(1));
    QVERIFY(second.send(Announcer::announcement(moduleAddress(1), "9000", "9001", "beta")));
    QTRY_COMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.rowTexts(0), QStringList({ "beta", moduleAddress(1), "9000", "9001" }));
    QCOMPARE(w.rowTexts(1), QStringList({ "alpha", moduleAddress(0), "8000", "8001" }));
    QCOMPARE(w.label(), addedLabel(2));

    // Each Upload button is wired to the upload handler exactly once.
    for (int row = 0; row < 2; ++row) {
        QObject *upload = w.table->cellWidget(row, SendColumn);
        QVERIFY(QObject::disconnect(upload, SIGNAL(clicked()), &w.window, SLOT(OnBtnClicked())));
        QVERIFY(!QObject::disconnect(upload, SIGNAL(clicked()), &w.window, SLOT(OnBtnClicked())));
    }
}

void DiscoveryTest::onlyTheNameCellIsEditable()
{
    DiscoveryWindow w;
    Announcer module(moduleAddress(0));
    QVERIFY(module.send(Announcer::announcement(moduleAddress(0), "8000", "8001", "alpha")));
    QTRY_COMPARE(w.table->rowCount(), 1);

    // A report written into the Progress cell is editable until the next
    // announcement locks the cells again.
    w.table->setItem(0, 6, new QTableWidgetItem(QStringLiteral("50%")));
    QVERIFY(w.table->item(0, ProgressColumn)->flags() & Qt::ItemIsEditable);
    Announcer other(moduleAddress(1));
    QVERIFY(other.send(Announcer::announcement(moduleAddress(1), "8000", "8001", "beta")));
    QTRY_COMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.cell(1, 6), QStringLiteral("50%"));

    for (int row = 0; row < w.table->rowCount(); ++row) {
        QVERIFY(w.table->item(row, NameColumn)->flags() & Qt::ItemIsEditable);
        for (int column = 1; column < w.table->columnCount(); ++column) {
            QTableWidgetItem *item = w.table->item(row, column);
            QVERIFY2(item, qPrintable(QStringLiteral("%1,%2").arg(row).arg(column)));
            QVERIFY(!(item->flags() & Qt::ItemIsEditable));
            QVERIFY(item->flags() & Qt::ItemIsEnabled);
            QVERIFY(item->flags() & Qt::ItemIsSelectable);
        }
    }

    // Asking for an editor opens one on the Name cell only.
    auto openEditors = [&w] {
        int open = 0;
        for (QLineEdit *edit : w.table->viewport()->findChildren<QLineEdit *>())
            open += edit->isVisible() ? 1 : 0;
        return open;
    };
    for (int column = 1; column < w.table->columnCount(); ++column) {
        // Under the combo box and the button the cell widget stands in the way.
        if (!w.table->cellWidget(0, column))
            QTest::ignoreMessage(QtWarningMsg, "edit: editing failed");
        w.table->editItem(w.table->item(0, column));
        QCOMPARE(openEditors(), 0);
    }
    w.table->editItem(w.table->item(0, NameColumn));
    QCOMPARE(openEditors(), 1);
}

void DiscoveryTest::keysInAnyOrderNumbersAndExtraKeys()
{
    DiscoveryWindow w;
    Announcer module(moduleAddress(0));
    QVERIFY(module.send(QStringLiteral("{\"hostname\":\"bench\",\"atcomd port\":8001,"
                                       "\"host ip\":\"%1\",\"data port\":8000,\"unused\":[1,2]}")
                            .arg(moduleAddress(0))
                            .toUtf8()));
    QTRY_COMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.rowTexts(0), QStringList({ "bench", moduleAddress(0), "8000", "8001" }));

    // Without name and ports: the default name and empty port cells. The text
    // ends at the first NUL; what follows it does not matter.
    Announcer bare(moduleAddress(1));
    QVERIFY(bare.send(QStringLiteral("{'host ip': '%1'}").arg(moduleAddress(1)).toUtf8() + '\0'
                      + "{garbage"));
    QTRY_COMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.rowTexts(0), QStringList({ "corvane", moduleAddress(1), "", "" }));
}

void DiscoveryTest::droppedAnnouncementsLeaveNoTrace()
{
    DiscoveryWindow w;
    const QString own = w.probe.localIPv4Address();
    QVERIFY(!own.isEmpty());

    Announcer module(moduleAddress(0));
    // Capitalised keys are other keys.
    QVERIFY(module.send(QStringLiteral("{\"Host IP\":\"%1\"}").arg(moduleAddress(0)).toUtf8()));
    // No address.
    QVERIFY(module.send("{\"hostname\":\"nameless\",\"data port\":8000}"));
    // Script, never run.
    QVERIFY(module.send(QStringLiteral("{\"host ip\": (function () { return \"%1\"; })()}")
                            .arg(moduleAddress(0))
                            .toUtf8()));
    // The address string ends at a NUL inside it.
    QVERIFY(module.send(QByteArray("{\"host ip\":\"127.0.0.") + '\0' + "2\"}"));
    // No module can be reached at these.
    for (const char *ip :
         { "0.0.0.0", "0", "255.255.255.255", "224.0.0.1", "Node-A", "127.1", "127.0.0.02" })
        QVERIFY(module.send(Announcer::announcement(QLatin1String(ip), "8000", "8001", "x")));
    // Larger than any announcement: dropped unread.
    QVERIFY(module.send(Announcer::announcement(moduleAddress(0), "8000", "8001",
                                                QString(kMaxAnnouncementBytes, 'n'))));
    // The host's own announcement.
    Announcer self(own);
    QVERIFY(self.isBound());
    QVERIFY(self.send(Announcer::announcement(own, "8000", "8001", "self")));

    // While the sweep removes a row, announcements stay out of the table.
    w.probe.setRemovingModule(true);
    QVERIFY(module.send(Announcer::announcement(moduleAddress(0), "8000", "8001", "late")));
    QTRY_VERIFY(!w.probe.udpSocket()->hasPendingDatagrams());
    w.probe.setRemovingModule(false);

    // Datagrams are handled in order: once this one shows, all above were read.
    Announcer sentinel(moduleAddress(1));
    QVERIFY(sentinel.send(Announcer::announcement(moduleAddress(1), "1", "2", "sentinel")));
    QTRY_COMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.cell(0, 0), QStringLiteral("sentinel"));
    QCOMPARE(w.probe.liveness().keys(), QStringList({ moduleAddress(1) }));
    QCOMPARE(w.label(), addedLabel(1));
}

void DiscoveryTest::knownModuleKeepsItsRow()
{
    DiscoveryWindow w;
    const QString ip = moduleAddress(0);
    Announcer module(ip);
    QVERIFY(module.send(Announcer::announcement(ip, "8000", "8001", "alpha")));
    QTRY_COMPARE(w.table->rowCount(), 1);
    w.probe.sweepLiveness();
    w.probe.sweepLiveness();
    QCOMPARE(w.probe.liveness().value(ip), kLivenessTicks - 2);

    QVERIFY(module.send(Announcer::announcement(ip, "9000", "9001", "renamed")));
    QTRY_COMPARE(w.probe.liveness().value(ip), kLivenessTicks);
    QCOMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.rowTexts(0), QStringList({ "alpha", ip, "8000", "8001" }));
    QCOMPARE(w.label(), addedLabel(1));
}

void DiscoveryTest::nameLikeAnAddressHidesNothing()
{
    DiscoveryWindow w;
    // A module whose name reads like another module's address.
    const QString lookalike = moduleAddress(7);
    Announcer first(moduleAddress(0));
    QVERIFY(first.send(Announcer::announcement(moduleAddress(0), "8000", "8001", lookalike)));
    QTRY_COMPARE(w.table->rowCount(), 1);

    Announcer second(lookalike);
    QVERIFY(second.send(Announcer::announcement(lookalike, "8000", "8001", "real")));
    QTRY_COMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.rowTexts(0), QStringList({ "real", lookalike, "8000", "8001" }));
    QCOMPARE(w.probe.liveness().value(lookalike), kLivenessTicks);
}

void DiscoveryTest::rowsAreFoundByTheExactAddressText()
{
    DiscoveryWindow w;
    Announcer module(moduleAddress(0));
    for (const char *ip : { "10.0.1.1", "10.0.0.1", "10.0.0.10" })
        QVERIFY(module.send(Announcer::announcement(QLatin1String(ip), "1", "2", "m")));
    QTRY_COMPARE(w.table->rowCount(), 3);

    for (const char *other : { "10.0.1.1 ", "010.0.1.1", "10.0.0", "10.0.0.100" }) {
        QVERIFY(w.probe.invoke("participantLeft", Q_ARG(QString, QLatin1String(other))));
        QCOMPARE(w.table->rowCount(), 3);
        QCOMPARE(w.label(), addedLabel(3));
    }
    QVERIFY(w.probe.invoke("participantLeft", Q_ARG(QString, QStringLiteral("10.0.0.1"))));
    QCOMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.cell(0, 2), QStringLiteral("10.0.0.10"));
    QCOMPARE(w.cell(1, 2), QStringLiteral("10.0.1.1"));
    QCOMPARE(w.label(), removedLabel(2));
}

void DiscoveryTest::silentModuleLeavesOnTheFourthSweep()
{
    DiscoveryWindow w;
    const QString silent = moduleAddress(0);
    const QString chatty = moduleAddress(1);
    Announcer silentModule(silent);
    Announcer chattyModule(chatty);
    QVERIFY(silentModule.send(Announcer::announcement(silent, "8000", "8001", "silent")));
    QVERIFY(chattyModule.send(Announcer::announcement(chatty, "8000", "8001", "chatty")));
    QTRY_COMPARE(w.table->rowCount(), 2);

    // The user picks a board and an upload reports, before the module falls silent.
    auto *box = qobject_cast<QComboBox *>(w.table->cellWidget(1, DeviceColumn));
    box->setCurrentIndex(1);
    w.table->item(1, ProgressColumn)->setText(QStringLiteral("Fail"));

    for (int sweep = 1; sweep <= 3; ++sweep) {
        w.probe.sweepLiveness();
        QCOMPARE(w.table->rowCount(), 2);
        QCOMPARE(w.probe.liveness().value(silent), kLivenessTicks - sweep);
    }
    // Announcing at least every third tick keeps a module listed.
    QVERIFY(chattyModule.send(Announcer::announcement(chatty, "8000", "8001", "chatty")));
    QTRY_COMPARE(w.probe.liveness().value(chatty), kLivenessTicks);

    w.probe.sweepLiveness();
    QCOMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.cell(0, 2), chatty);
    QCOMPARE(w.label(), removedLabel(1));
    // Its countdown leaves with its row.
    QCOMPARE(w.probe.liveness().keys(), QStringList({ chatty }));
    QVERIFY(!w.probe.removingModule());

    // Later sweeps change nothing, the label included.
    w.probe.ui().userNumLabel->setText(QStringLiteral("marker"));
    w.probe.sweepLiveness();
    QCOMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.label(), QStringLiteral("marker"));

    // Back again: a fresh row at the top, earlier choices forgotten.
    QVERIFY(silentModule.send(Announcer::announcement(silent, "8000", "8001", "silent")));
    QTRY_COMPARE(w.table->rowCount(), 2);
    QCOMPARE(w.cell(0, 2), silent);
    QCOMPARE(qobject_cast<QComboBox *>(w.table->cellWidget(0, DeviceColumn))->currentText(),
             QStringLiteral("MEGA2560"));
    QCOMPARE(w.cell(0, 6), QString());
    QCOMPARE(w.label(), addedLabel(2));
    QCOMPARE(w.probe.liveness().value(silent), kLivenessTicks);
}

void DiscoveryTest::refreshTickSweepsInBothModes_data()
{
    QTest::addColumn<bool>("manual");
    QTest::newRow("default file") << false;
    QTest::newRow("file picked by hand") << true;
}

void DiscoveryTest::refreshTickSweepsInBothModes()
{
    QFETCH(bool, manual);
    DiscoveryWindow w;
    Announcer module(moduleAddress(0));
    QVERIFY(module.send(Announcer::announcement(moduleAddress(0), "8000", "8001", "alpha")));
    QTRY_COMPARE(w.table->rowCount(), 1);

    if (manual)
        QTest::mouseClick(w.probe.ui().radioButton, Qt::LeftButton);
    QCOMPARE(w.probe.manualMode(), manual);
    for (int tick = 1; tick < kLivenessTicks - 1; ++tick) {
        QVERIFY(w.probe.invoke("update_hex_file"));
        QCOMPARE(w.probe.liveness().value(moduleAddress(0)), kLivenessTicks - tick);
    }
    QVERIFY(w.probe.invoke("update_hex_file"));
    QCOMPARE(w.table->rowCount(), 0);
    QVERIFY(w.probe.liveness().isEmpty());
}

void DiscoveryTest::hostilePayloadsLeaveTheWindowResponsive()
{
    DiscoveryWindow w;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(kTickIntervalMs);

    QRandomGenerator random(7);
    QByteArray garbage(kLargestDatagram, '\0');
    for (char &byte : garbage)
        byte = char(random.bounded(256));
    const QByteArray hostile[] = {
        "for (;;) {}",
        "{\"host ip\": (function () { for (;;) {} })()}",
        "{get \"host ip\"() { for (;;) {} }}",
        nested(kHostileNesting),
        QByteArray("{\"host ip\":") + QByteArray(kLargestDatagram - 11, '{'),
        garbage,
        "\xc0\xaf\xed\xa0\x80\xff{\"host ip\":\"127.0.0.9\"}\xfe",
        QByteArray("{\"host ip\":\"127.0.0.9\"") + '\0' + "}",
    };
    Announcer attacker(moduleAddress(0));
    for (const QByteArray &payload : hostile)
        QVERIFY(attacker.send(payload));

    const int ticksBefore = ticks;
    Announcer sentinel(moduleAddress(1));
    QVERIFY(sentinel.send(Announcer::announcement(moduleAddress(1), "1", "2", "sentinel")));
    QTRY_COMPARE(w.table->rowCount(), 1);
    QCOMPARE(w.cell(0, 0), QStringLiteral("sentinel"));
    QCOMPARE(w.probe.liveness().keys(), QStringList({ moduleAddress(1) }));
    // The event loop still turns: timers fire and the table paints.
    QTRY_VERIFY(ticks > ticksBefore);
    QVERIFY(!w.window.grab().isNull());
}

void DiscoveryTest::burstFromManySenders()
{
    DiscoveryWindow w;
    // More datagrams than one pass of the handler takes: the rest follow on
    // the next turns of the event loop.
    QList<QSharedPointer<Announcer>> senders;
    for (int i = 0; i < kBurstSenders; ++i) {
        senders << QSharedPointer<Announcer>::create(moduleAddress(i));
        QVERIFY(senders.last()->isBound());
    }
    for (int round = 0; round < kBurstRounds; ++round) {
        for (int i = 0; i < kBurstSenders; ++i) {
            QVERIFY(senders.at(i)->send(Announcer::announcement(
                moduleAddress(i), QString::number(8000 + round), "8001", "m")));
        }
    }
    QTRY_COMPARE(w.table->rowCount(), kBurstSenders);
    QTRY_VERIFY(!w.probe.udpSocket()->hasPendingDatagrams());
    QCOMPARE(w.probe.liveness().size(), kBurstSenders);
    for (int i = 0; i < kBurstSenders; ++i) {
        // Rows are made by the first announcement and kept as they were.
        const QList<QTableWidgetItem *> found
            = w.table->findItems(moduleAddress(i), Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        QCOMPARE(w.cell(found.first()->row(), 3), QStringLiteral("8000"));
        QCOMPARE(w.table->row(found.first()), kBurstSenders - 1 - i);
    }
    QCOMPARE(w.label(), addedLabel(kBurstSenders));
}

void DiscoveryTest::floodOfModulesIsCapped()
{
    DiscoveryWindow w;
    Announcer flood(moduleAddress(0));
    const auto fake
        = [](int i) { return QStringLiteral("10.1.%1.%2").arg(i / 200).arg(i % 200 + 1); };
    // In batches the socket's receive buffer holds. Other programs on the
    // host may announce modules too, so counts are bounds.
    constexpr int kBatch = 32;
    for (int i = 0; i <= kMaxListedModules; ++i) {
        QVERIFY(flood.send(Announcer::announcement(fake(i), "8000", "8001", "m")));
        if (i % kBatch == kBatch - 1)
            QTRY_VERIFY(w.table->rowCount() >= qMin(i + 1, kMaxListedModules));
    }
    QTRY_VERIFY(!w.probe.udpSocket()->hasPendingDatagrams());
    QCOMPARE(w.table->rowCount(), kMaxListedModules);
    QCOMPARE(w.probe.liveness().size(), kMaxListedModules);
    QVERIFY(!w.probe.liveness().contains(fake(kMaxListedModules)));

    // Heard again in the next tick, the module left out takes the place of
    // a row heard in fewer ticks, the oldest of them: one-shot senders cannot
    // hide a module that keeps announcing itself.
    w.probe.sweepLiveness();
    QVERIFY(flood.send(Announcer::announcement(fake(1), "8000", "8001", "m")));
    QVERIFY(flood.send(Announcer::announcement(fake(kMaxListedModules), "8000", "8001", "m")));
    QTRY_VERIFY(w.probe.liveness().contains(fake(kMaxListedModules)));
    QVERIFY(!w.probe.liveness().contains(fake(0)));
    QVERIFY(w.probe.liveness().contains(fake(1)));
    QCOMPARE(w.table->rowCount(), kMaxListedModules);
    QCOMPARE(w.probe.liveness().size(), kMaxListedModules);
    const QList<QTableWidgetItem *> newcomer
        = w.table->findItems(fake(kMaxListedModules), Qt::MatchExactly);
    QCOMPARE(newcomer.size(), 1);
    QCOMPARE(newcomer.first()->row(), 0);
    QCOMPARE(w.table->findItems(fake(0), Qt::MatchExactly).size(), 0);

    for (int sweep = 0; sweep < kLivenessTicks - 1; ++sweep)
        w.probe.sweepLiveness();
    QCOMPARE(w.table->rowCount(), 0);
    QVERIFY(w.probe.liveness().isEmpty());
    QVERIFY(flood.send(Announcer::announcement(fake(kMaxListedModules), "8000", "8001", "m")));
    QTRY_VERIFY(w.probe.liveness().contains(fake(kMaxListedModules)));
}

void DiscoveryTest::floodWhileTheWindowStallsLeavesItListening()
{
#ifndef Q_OS_LINUX
    QSKIP("the window's thread is stopped with a Linux timer");
#else
    DiscoveryWindow w;
    std::atomic<bool> flooding { true };
    std::thread flood([&flooding] {
        Announcer sender(moduleAddress(0));
        for (int i = 0; flooding.load(); ++i) {
            sender.send(Announcer::announcement(moduleAddress(i % kFloodSenders), "1", "2", "f"));
            if (i % kFloodBurst == 0)
                std::this_thread::sleep_for(kFloodPause);
        }
    });
    {
        const LateSlots stalls(w.probe.udpSocket());
        QTest::qWait(kFloodMs);
        flooding = false;
        flood.join();
    }
    // As a module does, once a second: the first may meet a full queue.
    const QString late = moduleAddress(kFloodSenders);
    Announcer module(late);
    QTimer announcing;
    connect(&announcing, &QTimer::timeout,
            [&] { module.send(Announcer::announcement(late, "8000", "8001", "late")); });
    announcing.start(kAnnounceEveryMs);
    QVERIFY(module.send(Announcer::announcement(late, "8000", "8001", "late")));
    QTRY_VERIFY_WITH_TIMEOUT(!w.table->findItems(late, Qt::MatchExactly).isEmpty(),
                             kListedWithinMs);
#endif
}

void DiscoveryTest::everyListenerSeesEveryModule()
{
    // Port 3333's unicast datagrams go to one of the sockets sharing it.
    QProcess discovery;
    discovery.start(QStringLiteral(RUDIREZE_CLI_EXE), { QStringLiteral("discovery") });
    QVERIFY(discovery.waitForStarted(kProcessTimeoutMs));
    discovery.write("START_SYNC\n");
    QByteArray events;
    QTRY_VERIFY((events += discovery.readAllStandardOutput()).contains("start_sync"));
    DiscoveryWindow w;
    QList<QSharedPointer<QProcess>> lists;
    for (int run = 0; run < kListRuns; ++run) {
        lists << QSharedPointer<QProcess>::create();
        lists.last()->start(QStringLiteral(RUDIREZE_CLI_EXE),
                            { "list", "--seconds", "3", "--json" });
    }
    QList<QSharedPointer<Announcer>> modules;
    for (int i = 0; i < kSharingModules; ++i)
        modules << QSharedPointer<Announcer>::create(moduleAddress(i));
    QTimer announcing;
    QObject::connect(&announcing, &QTimer::timeout, [&modules] {
        for (int i = 0; i < kSharingModules; ++i)
            modules.at(i)->send(Announcer::announcement(moduleAddress(i), "8000", "8001", "m"));
    });
    announcing.start(kSharingAnnounceMs);
    for (const QSharedPointer<QProcess> &list : lists)
        QTRY_VERIFY_WITH_TIMEOUT(list->state() == QProcess::NotRunning, 2 * kProcessTimeoutMs);
    QTRY_COMPARE(w.table->rowCount(), kSharingModules);
    discovery.write("STOP\nQUIT\n");
    QVERIFY(discovery.waitForFinished(kProcessTimeoutMs));
    QByteArrayList outputs { events + discovery.readAllStandardOutput() };
    for (const QSharedPointer<QProcess> &list : lists)
        outputs << list->readAllStandardOutput();
    for (int i = 0; i < kSharingModules; ++i) {
        for (const QByteArray &output : outputs)
            QVERIFY2(output.contains('"' + moduleAddress(i).toUtf8()), output);
    }
}

void DiscoveryTest::followingLeavesTheEventLoopItsTurn()
{
    AnnouncementListener listener;
    QString error;
    QVERIFY2(listener.bind(&error), qPrintable(error));
    int heard = 0;
    bool turnTaken = false, turnBeforeSecond = false;
    listener.follow([&](const Announcement &) {
        if (++heard == 2)
            turnBeforeSecond = turnTaken;
        if (heard > 1)
            return;
        QTimer::singleShot(0, [&turnTaken] { turnTaken = true; });
        QElapsedTimer slow;
        slow.start();
        while (slow.nsecsElapsed() < kStallNs) { }
    });
    Announcer module(moduleAddress(0));
    for (int i = 0; i < kBurstSenders; ++i)
        QVERIFY(module.send(Announcer::announcement(moduleAddress(i), "1", "2", "f")));
    // The rest is read with no further datagram to wake the socket.
    QTRY_COMPARE(heard, kBurstSenders);
    QVERIFY(turnBeforeSecond);
}

void DiscoveryTest::localIdentity()
{
    DiscoveryWindow w;
    QString firstIPv4;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            firstIPv4 = address.toString();
            break;
        }
    }
    QCOMPARE(w.probe.localIPv4Address(), firstIPv4);

    QProcess id;
    id.start(QStringLiteral("id"), { QStringLiteral("-un") });
    if (!id.waitForFinished(kProcessTimeoutMs) || id.exitCode() != 0)
        QSKIP("id -un is not available");
    const QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
    QCOMPARE(w.probe.currentUserName(), expected);
    QVERIFY(!expected.isEmpty());
}

void DiscoveryTest::boardTypeIsReadable()
{
    // The box's transparent style sheet must not paint the board type black on black.
    DiscoveryWindow w;
    {
        // A row made by hand would otherwise count as a rename of its Name cell.
        const QSignalBlocker quiet(w.table);
        w.probe.addDeviceRow(moduleAddress(0), "8000", "8001", "alpha");
    }
    auto *box = qobject_cast<QComboBox *>(w.table->cellWidget(0, DeviceColumn));
    QVERIFY(box);
    // The viewport's picture, as on screen: the box is see-through on purpose.
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    const QRect area(box->mapTo(&w.window, QPoint(0, 0)), box->size());
    const QImage picture = w.window.grab(area).toImage();
    QVERIFY(!picture.isNull());
    int dark = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (qGray(picture.pixel(x, y)) < 64)
                ++dark;
    QVERIFY2(dark * 4 < picture.width() * picture.height(),
             qPrintable(QStringLiteral("%1 of %2 pixels are dark")
                            .arg(dark)
                            .arg(picture.width() * picture.height())));
}

QTEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
