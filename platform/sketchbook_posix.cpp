#include "platform/sketchbook.h"

#include <QDir>
#include <QStandardPaths>

QString defaultSketchbook()
{
#if defined(Q_OS_MACOS)
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("Arduino"));
#else
    return QDir::home().filePath(QStringLiteral("Arduino"));
#endif
}
