#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QWidget;

// The box the window shows when a module cannot be reached.
inline const QString kBoxTitle = QStringLiteral("connect server fail");
inline const QString kBoxText
    = QStringLiteral("connect server fail \n the server does not exist or has been occupied");

// Closes every modal message box as soon as it opens and remembers what it
// said and how it was made, so tests can drive code paths that block on a box.
class MessageBoxCloser : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        int icon = 0;
        int buttons = 0; // the standard buttons
        int buttonCount = 0;
        QWidget *parent = nullptr;
        bool modal = false;
    };

    explicit MessageBoxCloser(QObject *parent = nullptr);

    const QList<Seen> &seen() const { return boxes; }
    void clear() { boxes.clear(); }

private:
    void poll();

    QTimer timer;
    QList<Seen> boxes;
};

// Answers the next file dialog: types the given path into its name field and
// accepts, or cancels when the path is empty, and remembers how the dialog was
// set up. A dialog still open after a few seconds is cancelled, so a test
// cannot hang on it.
class FileDialogDriver : public QObject
{
    Q_OBJECT

public:
    explicit FileDialogDriver(const QString &answer, QObject *parent = nullptr);

    QString title;
    QString directory;
    QStringList filters;
    bool answered = false;

private:
    void poll();

    QString answer;
    QTimer timer;
    QElapsedTimer deadline;
};
