#include "testsupport.h"

#include <QApplication>
#include <QMessageBox>

namespace {
constexpr int kPollIntervalMs = 10;
}

MessageBoxCloser::MessageBoxCloser(QObject *parent) : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxCloser::poll);
    timer.start(kPollIntervalMs);
}

void MessageBoxCloser::poll()
{
    if (paused)
        return;
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        boxes.append({box->windowTitle(), box->text(), int(box->icon())});
        box->done(QMessageBox::Ok);
        emit boxClosed();
    }
}
