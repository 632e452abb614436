#include "platform/consoleinput.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

StandardInput::~StandardInput() = default;

void StandardInput::start()
{
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
        // Started with standard input closed.
        QMetaObject::invokeMethod(this, &StandardInput::finish, Qt::QueuedConnection);
        return;
    }
    notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StandardInput::readAvailable);
}

void StandardInput::readAvailable()
{
    char buffer[kReadChunk];
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count > 0) {
        emit received(QByteArray(buffer, int(count)));
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        finish();
    }
}
