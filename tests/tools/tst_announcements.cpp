// Announcements as a listening window receives them on UDP port 3333: from
// each module's own loopback address, one JSON object per datagram.
#include "moduleclient.h"
#include "modulegroup.h"
#include "moduleprocess.h"
#include "virtualmodule.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>
#include <QtTest>

namespace {
constexpr quint16 kAnnouncePort = 3333;
constexpr int kFastIntervalMs = 200;
constexpr int kWaitMs = 8000;

struct Heard
{
    QString sender;
    QJsonObject object;
};

// Listens as the window does: port 3333 on every address, shared.
class Listener
{
public:
    bool bind()
    {
        return socket.bind(QHostAddress::AnyIPv4, kAnnouncePort,
                           QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    }

    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(int(socket.pendingDatagramSize()), 0);
            QHostAddress sender;
            socket.readDatagram(datagram.data(), datagram.size(), &sender);
            raw.append(datagram);
            heard.append({sender.toString(), QJsonDocument::fromJson(datagram).object()});
        }
    }

    int countFrom(const QString &address)
    {
        drain();
        int count = 0;
        for (const Heard &h : qAsConst(heard))
            count += h.sender == address ? 1 : 0;
        return count;
    }

    QUdpSocket socket;
    QList<Heard> heard;
    QList<QByteArray> raw;
};
} // namespace

class AnnouncementsTest : public QObject
{
    Q_OBJECT

private slots:
    void modulesAnnounceFromTheirOwnAddresses();
    void renamedModuleAnnouncesItsNewName();
    void programAnnouncesEverySecond();
};

void AnnouncementsTest::modulesAnnounceFromTheirOwnAddresses()
{
    Listener listener;
    QVERIFY(listener.bind());
    ModuleOptions options;
    options.announceIntervalMs = kFastIntervalMs;
    options.board = BoardType::Uno;
    ModuleGroup group;
    QString error;
    QVERIFY2(group.start(3, options, &error), qPrintable(error));

    const QStringList addresses = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom(addresses.at(0)) >= 2
                                 && listener.countFrom(addresses.at(1)) >= 2
                                 && listener.countFrom(addresses.at(2)) >= 2,
                             kWaitMs);
    for (const Heard &h : qAsConst(listener.heard)) {
        VirtualModule *module = group.find(QHostAddress(h.sender));
        if (!module)
            continue; // something else on the host announcing
        QCOMPARE(h.object.value("host ip").toString(), h.sender);
        QCOMPARE(h.object.value("data port").toString(), QString::number(module->dataPort()));
        QCOMPARE(h.object.value("atcomd port").toString(), QString::number(module->atPort()));
        QCOMPARE(h.object.value("hostname").toString(),
                 QStringLiteral("vmodule-") + h.sender.section('.', 3));
        QCOMPARE(h.object.size(), 4);
    }
    // The keys in the order the modules send them, in one datagram each.
    const QByteArray first = listener.raw.first();
    QVERIFY(first.startsWith("{\"host ip\":\"127.0.0."));
    QVERIFY(first.indexOf("\"data port\"") < first.indexOf("\"atcomd port\""));
    QVERIFY(first.indexOf("\"atcomd port\"") < first.indexOf("\"hostname\""));
    QVERIFY(first.endsWith("}"));
}

void AnnouncementsTest::renamedModuleAnnouncesItsNewName()
{
    Listener listener;
    QVERIFY(listener.bind());
    ModuleOptions options;
    options.announceIntervalMs = kFastIntervalMs;
    options.address = QHostAddress(QStringLiteral("127.0.0.9"));
    options.name = QStringLiteral("before");
    VirtualModule module(options);
    QVERIFY(module.start());
    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom("127.0.0.9") >= 1, kWaitMs);
    QCOMPARE(listener.heard.last().object.value("hostname").toString(), QStringLiteral("before"));

    ModuleClient client(&module);
    QVERIFY(client.connectAt());
    QCOMPARE(client.atCommand("AT+HOSTNAME=after"), QByteArray("OK\r\n"));
    listener.heard.clear();
    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom("127.0.0.9") >= 1, kWaitMs);
    QCOMPARE(listener.heard.last().object.value("hostname").toString(), QStringLiteral("after"));
}

void AnnouncementsTest::programAnnouncesEverySecond()
{
    Listener listener;
    QVERIFY(listener.bind());
    ModuleProcess program;
    QVERIFY(program.start({"--count", "2", "--address", "127.0.0.12", "--name", "demo"}));
    QCOMPARE(program.modules.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(
        listener.countFrom("127.0.0.12") >= 2 && listener.countFrom("127.0.0.13") >= 2, kWaitMs);
    for (const Heard &h : qAsConst(listener.heard)) {
        if (h.sender == QLatin1String("127.0.0.13")) {
            QCOMPARE(h.object.value("hostname").toString(), QStringLiteral("demo-2"));
            QCOMPARE(h.object.value("data port").toString(),
                     QString::number(program.modules.at(1).dataPort));
        }
    }
}

QTEST_GUILESS_MAIN(AnnouncementsTest)
#include "tst_announcements.moc"
