// Stands in for the real-bootloader tests when the build lacked libsimavr:
// a module asked for a simulated board refuses to start and says why.
#include "unavailable.h"
#include "virtualmodule.h"

#include <QtTest>

class RealBoardsUnavailable : public QObject
{
    Q_OBJECT

private slots:
    void simulatedModuleRefusesToStart()
    {
        ModuleOptions options;
        options.simulatedBoard = true;
        options.announceIntervalMs = 0;
        VirtualModule module(options);
        QString error;
        QVERIFY(!module.start(&error));
        QVERIFY2(error.contains(QLatin1String("missing")), qPrintable(error));
        QVERIFY(!module.isRunning());
    }

    void skipped()
    {
        QSKIP(qPrintable(QStringLiteral("simulated boards not built, missing: ")
                         + QLatin1String(kMissing)));
    }
};

QTEST_GUILESS_MAIN(RealBoardsUnavailable)
#include "unavailable.moc"
