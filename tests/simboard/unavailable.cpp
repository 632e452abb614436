// Stands in for the simulated-board tests when the build lacked libsimavr.
#include <QtTest>

class SimulatedBoardUnavailable : public QObject
{
    Q_OBJECT

private slots:
    void skipped()
    {
        QSKIP("simulated boards not built, missing: " SIMBOARD_UNAVAILABLE);
    }
};

QTEST_GUILESS_MAIN(SimulatedBoardUnavailable)
#include "unavailable.moc"
