#include "app/widget.h"
#include "upload/uploadlog.h"

#include <QApplication>

#include <cstdio>

namespace {
QtMessageHandler defaultHandler = nullptr;

// The upload engine's diagnostics look as they always have: its system
// errors straight on standard error as perror writes them, the rest as
// messages of the default category.
void printUploadDiagnostics(QtMsgType type, const QMessageLogContext &context,
                            const QString &message)
{
    if (qstrcmp(context.category, lcUpload().categoryName()) != 0) {
        defaultHandler(type, context, message);
    } else if (type == QtCriticalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    } else {
        const QMessageLogContext plain(context.file, context.line, context.function, "default");
        defaultHandler(type, plain, message);
    }
}
} // namespace

int main(int argc, char *argv[])
{
    defaultHandler = qInstallMessageHandler(printUploadDiagnostics);
    QApplication application(argc, argv);
    // Where the window's few settings are kept.
    QCoreApplication::setOrganizationName(QStringLiteral("Rudireze"));
    QCoreApplication::setApplicationName(QStringLiteral("rudireze"));
    int result = 0;
    {
        Widget window;
        window.show();
        result = QApplication::exec();
    }
    return result;
}
