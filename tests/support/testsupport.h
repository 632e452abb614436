#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QMessageBox;

// Closes every modal message box as soon as it opens and remembers what it
// said, so tests can drive code paths that block on a box.
class MessageBoxCloser : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        int icon = 0;
    };

    explicit MessageBoxCloser(QObject *parent = nullptr);

    const QList<Seen> &seen() const { return boxes; }
    void clear() { boxes.clear(); }
    // While paused, boxes stay open (to test what happens behind them).
    void setPaused(bool paused) { this->paused = paused; }

signals:
    void boxClosed();

private:
    void poll();

    QTimer timer;
    QList<Seen> boxes;
    bool paused = false;
};

