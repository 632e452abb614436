#include "upload/uploadlog.h"

#include <QMutex>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>

Q_LOGGING_CATEGORY(lcUpload, "rudireze.upload")

namespace {
QtMessageHandler previousHandler = nullptr;

void printPlainly(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, lcUpload().categoryName()) != 0) {
        previousHandler(type, context, message);
    } else if (type == QtCriticalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    } else {
        const QMessageLogContext plain(context.file, context.line, context.function, "default");
        previousHandler(type, plain, message);
    }
}
} // namespace

void logSystemError(const char *text)
{
    // Taken first: the logging itself may set errno.
    const int error = errno;
    QString reason;
    {
        // strerror's buffer is shared, and several workers may fail at once.
        static QMutex strerrorLock;
        const QMutexLocker locker(&strerrorLock);
        reason = QString::fromLocal8Bit(std::strerror(error));
    }
    qCCritical(lcUpload).noquote() << QString::fromLocal8Bit(text) + QLatin1String(": ") + reason;
}

void installPlainUploadDiagnostics()
{
    // The category is built here, not first inside the handler.
    lcUpload();
    static const QtMessageHandler installed = [] {
        previousHandler = qInstallMessageHandler(printPlainly);
        return previousHandler;
    }();
    Q_UNUSED(installed);
}
