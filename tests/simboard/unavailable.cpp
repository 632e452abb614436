// Stands in for the simulated-board tests when the build lacked libsimavr.
#include "unavailable.h"

#include <QtTest>

class SimulatedBoardUnavailable : public QObject
{
    Q_OBJECT

private slots:
    void skipped()
    {
        QSKIP(qPrintable(QStringLiteral("simulated boards not built, missing: ")
                         + QLatin1String(kMissing)));
    }
};

QTEST_GUILESS_MAIN(SimulatedBoardUnavailable)
#include "unavailable.moc"
