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
    QByteArray raw;
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

    // What one module sent. Other programs on the host may announce from the
    // same loopback addresses, but not with the same data port.
    QList<Heard> from(const QString &address, quint16 dataPort)
    {
        drain();
        QList<Heard> out;
        for (const Heard &h : qAsConst(heard)) {
            if (h.sender == address
                && h.object.value("data port").toString() == QString::number(dataPort))
                out.append(h);
        }
        return out;
    }

    int countFrom(const VirtualModule *module)
    {
        return from(module->address().toString(), module->dataPort()).size();
    }

    QList<Heard> heard;

private:
    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(int(socket.pendingDatagramSize()), 0);
            QHostAddress sender;
            socket.readDatagram(datagram.data(), datagram.size(), &sender);
            heard.append(
                { sender.toString(), QJsonDocument::fromJson(datagram).object(), datagram });
        }
    }

    QUdpSocket socket;
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
    QCOMPARE(group.module(2)->address().toString(), QStringLiteral("127.0.0.4"));

    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom(group.module(0)) >= 2
                                 && listener.countFrom(group.module(1)) >= 2
                                 && listener.countFrom(group.module(2)) >= 2,
                             kWaitMs);
    for (const VirtualModule *module : group.modules()) {
        const QString address = module->address().toString();
        for (const Heard &h : listener.from(address, module->dataPort())) {
            QCOMPARE(h.object.value("host ip").toString(), address);
            QCOMPARE(h.object.value("atcomd port").toString(), QString::number(module->atPort()));
            QCOMPARE(h.object.value("hostname").toString(),
                     QStringLiteral("vmodule-") + address.section('.', 3));
            QCOMPARE(h.object.size(), 4);
        }
    }
    // The keys in the order the modules send them, in one datagram each.
    const QByteArray first = listener.from("127.0.0.2", group.module(0)->dataPort()).first().raw;
    QVERIFY(first.startsWith("{\"host ip\":\"127.0.0.2\""));
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
    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom(&module) >= 1, kWaitMs);
    const auto lastName = [&listener, &module] {
        return listener.from("127.0.0.9", module.dataPort()).last().object.value("hostname");
    };
    QCOMPARE(lastName().toString(), QStringLiteral("before"));

    ModuleClient client(&module);
    QVERIFY(client.connectAt());
    QCOMPARE(client.atCommand("AT+HOSTNAME=after"), QByteArray("OK\r\n"));
    listener.heard.clear();
    QTRY_VERIFY_WITH_TIMEOUT(listener.countFrom(&module) >= 1, kWaitMs);
    QCOMPARE(lastName().toString(), QStringLiteral("after"));
}

void AnnouncementsTest::programAnnouncesEverySecond()
{
    Listener listener;
    QVERIFY(listener.bind());
    ModuleProcess program;
    QVERIFY(program.start({ "--count", "2", "--address", "127.0.0.12", "--name", "demo" }));
    QCOMPARE(program.modules.size(), 2);
    const ModuleProcess::Module &second = program.modules.at(1);
    QCOMPARE(second.address.toString(), QStringLiteral("127.0.0.13"));
    QTRY_VERIFY_WITH_TIMEOUT(listener.from("127.0.0.12", program.modules.at(0).dataPort).size() >= 2
                                 && listener.from("127.0.0.13", second.dataPort).size() >= 2,
                             kWaitMs);
    for (const Heard &h : listener.from("127.0.0.13", second.dataPort)) {
        QCOMPARE(h.object.value("hostname").toString(), QStringLiteral("demo-2"));
        QCOMPARE(h.object.value("atcomd port").toString(), QString::number(second.atPort));
    }
}

QTEST_GUILESS_MAIN(AnnouncementsTest)
#include "tst_announcements.moc"
