#include "announcer.h"
#include "app/devicecolumns.h"
#include "atportserver.h"
#include "testsupport.h"
#include "widgetprobe.h"

#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTcpServer>
#include <QtTest>

namespace {
constexpr int kRepeatedExchanges = 5;
constexpr int kAnnounceAttempts = 5;
constexpr int kAnnounceWaitMs = 1000;

// The window with one module row whose AT port is `atPort` on `address`.
struct RenameWindow : QuietWindow
{
    // A row for the module `hostIp`, announced from `sender` (by default the
    // same address).
    bool addModule(const QString &hostIp, const QString &atPort, QString sender = QString())
    {
        // Announced again now and then, as a module does: UDP may drop one.
        Announcer module(sender.isEmpty() ? hostIp : sender);
        const int rows = table->rowCount();
        for (int attempt = 0; attempt < kAnnounceAttempts; ++attempt) {
            if (!module.send(Announcer::announcement(hostIp, "8000", atPort, "module")))
                return false;
            if (QTest::qWaitFor([&] { return table->rowCount() > rows; }, kAnnounceWaitMs))
                return true;
        }
        return false;
    }

    // A row for a module listening on its AT port.
    bool addModule(AtPortServer &module, const QString &address)
    {
        return module.listen() && addModule(address, QString::number(module.port()));
    }

    QTableWidgetItem *nameItem() const { return table->item(0, NameColumn); }
};

// A port on `address` that refuses connections: bound once, then closed.
quint16 closedPort(const QHostAddress &address)
{
    QTcpServer server;
    if (!server.listen(address, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

int openDescriptors()
{
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    return descriptors.entryList(QDir::NoDotAndDotDot | QDir::System).size();
}
} // namespace

class RenamingTest : public QObject
{
    Q_OBJECT

private slots:
    void editedNameReachesTheModule_data();
    void editedNameReachesTheModule();
    void typingIntoTheNameCell();
    void silentModuleStillEndsTheExchange();
    void onlyUserEditsOfTheNameConnect();
    void failedConnectionShowsTheCriticalBox_data();
    void failedConnectionShowsTheCriticalBox();
    void everySocketIsReleased();
    void unsafeNameIsRefused_data();
    void unsafeNameIsRefused();
};

void RenamingTest::editedNameReachesTheModule_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("plainText"); // the debug line is checked for these
    QTest::newRow("plain") << "kitchen" << QByteArray("AT+HOSTNAME=kitchen") << true;
    QTest::newRow("Latin-1 kept, others as ?") << QString::fromUtf8("K\xc3\xbc"
                                                                    "che \xd0\x96\xe4\xb8\xad!")
                                               << QByteArray("AT+HOSTNAME=K\xfc"
                                                             "che ?"
                                                             "?!")
                                               << false;
    QTest::newRow("cleared") << QString() << QByteArray("AT+HOSTNAME=") << true;
    QTest::newRow("no line end added") << "a b " << QByteArray("AT+HOSTNAME=a b ") << false;
    QTest::newRow("32 characters")
        << QString(32, 'n') << "AT+HOSTNAME=" + QByteArray(32, 'n') << true;
}

void RenamingTest::editedNameReachesTheModule()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, sent);
    QFETCH(bool, plainText);

    const QString address = moduleAddress(3);
    AtPortServer module { QHostAddress(address) };
    RenameWindow w;
    MessageBoxCloser boxes;
    QVERIFY(w.addModule(module, address));

    if (plainText) {
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("\"%1\" \"%2\"").arg(name, address)));
    }
    w.nameItem()->setText(name);
    // Adding the row made no connection: this one is the first and only.
    QTRY_COMPARE(module.exchanges(), QList<QByteArray>({ sent }));
    QVERIFY(boxes.seen().isEmpty());
    QCOMPARE(w.nameItem()->text(), name);
}

void RenamingTest::typingIntoTheNameCell()
{
    const QString address = moduleAddress(4);
    AtPortServer module { QHostAddress(address) };
    RenameWindow w;
    MessageBoxCloser boxes;
    QVERIFY(w.addModule(module, address));

    w.table->editItem(w.nameItem());
    QLineEdit *editor = nullptr;
    for (QLineEdit *edit : w.table->viewport()->findChildren<QLineEdit *>())
        editor = edit->isVisible() ? edit : editor;
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("lab-2"));
    QTest::keyClick(editor, Qt::Key_Return);

    QTRY_COMPARE(module.exchanges(), QList<QByteArray>({ "AT+HOSTNAME=lab-2" }));
    QCOMPARE(w.nameItem()->text(), QStringLiteral("lab-2"));
    QVERIFY(boxes.seen().isEmpty());
}

void RenamingTest::silentModuleStillEndsTheExchange()
{
    // No answer within the reply wait: the exchange ends normally all the same.
    const QString address = moduleAddress(5);
    AtPortServer module(QHostAddress(address), AtPortServer::Silent);
    RenameWindow w;
    MessageBoxCloser boxes;
    QVERIFY(w.addModule(module, address));

    w.nameItem()->setText(QStringLiteral("quiet"));
    QTRY_COMPARE(module.exchanges(), QList<QByteArray>({ "AT+HOSTNAME=quiet" }));
    QVERIFY(boxes.seen().isEmpty());
}

void RenamingTest::onlyUserEditsOfTheNameConnect()
{
    const QString address = moduleAddress(6);
    AtPortServer module { QHostAddress(address) };
    RenameWindow w;
    MessageBoxCloser boxes;
    QVERIFY(w.addModule(module, address));

    // Progress reports, other cells and the locking of a further announcement.
    w.table->item(0, ProgressColumn)->setText(QStringLiteral("42%"));
    w.table->setItem(0, 6, new QTableWidgetItem(QStringLiteral("Successful")));
    w.table->item(0, DataPortColumn)->setText(QStringLiteral("8002"));
    QVERIFY(w.addModule(moduleAddress(7), QStringLiteral("1")));
    QCOMPARE(w.table->rowCount(), 2);

    w.table->item(1, NameColumn)->setText(QStringLiteral("renamed"));
    QTRY_COMPARE(module.exchanges(), QList<QByteArray>({ "AT+HOSTNAME=renamed" }));
    QVERIFY(boxes.seen().isEmpty());
}

void RenamingTest::failedConnectionShowsTheCriticalBox_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("atPort");
    const QString refusing = moduleAddress(8);
    QTest::newRow("refused") << refusing << QString::number(closedPort(QHostAddress(refusing)));
    QTest::newRow("empty port goes to port 0") << refusing << QString();
    QTest::newRow("port that is no number") << refusing << QStringLiteral("at");
}

void RenamingTest::failedConnectionShowsTheCriticalBox()
{
    QFETCH(QString, address);
    QFETCH(QString, atPort);

    RenameWindow w;
    QVERIFY(w.addModule(address, atPort, moduleAddress(9)));
    MessageBoxCloser boxes;
    w.nameItem()->setText(QStringLiteral("new name"));
    // The slot has returned: the box was shown and closed inside it.
    QCOMPARE(boxes.seen().size(), 1);
    const MessageBoxCloser::Seen box = boxes.seen().first();
    QCOMPARE(box.title, kBoxTitle);
    QCOMPARE(box.text, kBoxText);
    QCOMPARE(box.icon, int(QMessageBox::Critical));
    QCOMPARE(box.buttons, int(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QCOMPARE(box.parent, static_cast<QWidget *>(&w.window));
    QVERIFY(box.modal);
    // The cell keeps what the user typed.
    QCOMPARE(w.nameItem()->text(), QStringLiteral("new name"));
}

void RenamingTest::everySocketIsReleased()
{
    if (!QDir(QStringLiteral("/proc/self/fd")).exists())
        QSKIP("no /proc/self/fd to count open descriptors");
    const QString address = moduleAddress(10);
    AtPortServer module { QHostAddress(address) };
    QVERIFY(module.listen());
    const QString refusing = moduleAddress(11);
    const QString refusedPort = QString::number(closedPort(QHostAddress(refusing)));
    RenameWindow w;
    MessageBoxCloser boxes;
    QVERIFY(w.addModule(address, QString::number(module.port())));
    QVERIFY(w.addModule(refusing, refusedPort));

    QTableWidgetItem *reachable = w.table->item(1, NameColumn);
    QTableWidgetItem *unreachable = w.table->item(0, NameColumn);
    auto renameBoth = [&](int round) {
        reachable->setText(QStringLiteral("ok %1").arg(round));
        unreachable->setText(QStringLiteral("fail %1").arg(round));
    };
    renameBoth(0); // anything opened once and kept for good opens here
    QTRY_COMPARE(module.exchanges().size(), 1);
    const int before = openDescriptors();
    for (int round = 1; round <= kRepeatedExchanges; ++round)
        renameBoth(round);
    QTRY_COMPARE(module.exchanges().size(), 1 + kRepeatedExchanges);
    QCOMPARE(boxes.seen().size(), 1 + kRepeatedExchanges);
    QCOMPARE(openDescriptors(), before);
}

void RenamingTest::unsafeNameIsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("line end and a command") << "x\r\nAT+MCUUPDATE=UNO";
    QTest::newRow("command in lower case") << "xat+mcuupdate=UNO";
    QTest::newRow("terminal escape") << "\x1b[2J";
    QTest::newRow("33 characters") << QString(33, 'n');
}

void RenamingTest::unsafeNameIsRefused()
{
    QFETCH(QString, name);
    const QString address = moduleAddress(12);
    AtPortServer module { QHostAddress(address) };
    RenameWindow w;
    QVERIFY(w.addModule(module, address));
    {
        MessageBoxCloser boxes;
        w.nameItem()->setText(name);
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().icon, int(QMessageBox::Warning));
    }
    QCOMPARE(w.nameItem()->text(), QStringLiteral("module"));
    // Only the next, sound name reaches the module.
    MessageBoxCloser boxes;
    w.nameItem()->setText(QStringLiteral("fine"));
    QTRY_COMPARE(module.exchanges(), QList<QByteArray>({ "AT+HOSTNAME=fine" }));
    QVERIFY(boxes.seen().isEmpty());
}

QTEST_MAIN(RenamingTest)
#include "tst_renaming.moc"
