#include "app/widget.h"
#include "upload/uploadlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    installPlainUploadDiagnostics();
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
