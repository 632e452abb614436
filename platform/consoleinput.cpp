#include "platform/consoleinput.h"

#include <QSocketNotifier>

StandardInput::StandardInput(QObject *parent)
    : QObject(parent)
{
}

void StandardInput::finish()
{
    if (finished)
        return;
    finished = true;
    if (notifier)
        notifier->setEnabled(false);
    emit ended();
}
