#include "platform/sketchbook.h"

#include <QDir>
#include <QStandardPaths>

QString defaultSketchbook()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("Arduino"));
}
