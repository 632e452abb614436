#include "boardfiles.h"

#include "boardfilesconfig.h"

#include <QDir>

namespace {
struct SketchName
{
    const char *name;
    BoardKind kind;
};

const SketchName kSketches[] = {
    { "tiny-uno", BoardKind::Uno },       { "full-uno", BoardKind::Uno },
    { "tiny-mega", BoardKind::Mega },     { "over64k-mega", BoardKind::Mega },
    { "over128k-mega", BoardKind::Mega }, { "full-mega", BoardKind::Mega },
};

const SketchName kChattySketches[] = {
    { "chatty-uno", BoardKind::Uno },
    { "chatty-mega", BoardKind::Mega },
};

BoardFiles::Sketch describe(const SketchName &entry)
{
    BoardFiles::Sketch sketch;
    sketch.name = QLatin1String(entry.name);
    sketch.kind = entry.kind;
    sketch.line = QByteArray("sketch ") + entry.name + " ok\r\n";
    const QString directory = QString::fromUtf8(BoardFilesConfig::kSketchDir);
    if (!directory.isEmpty()) {
        sketch.hexPath = QDir(directory).filePath(sketch.name + QLatin1String(".hex"));
        sketch.binaryPath = QDir(directory).filePath(sketch.name + QLatin1String(".bin"));
    }
    return sketch;
}
} // namespace

namespace BoardFiles {

QString bootloaderHex(BoardKind kind)
{
    return QString::fromUtf8(kind == BoardKind::Uno ? BoardFilesConfig::kOptibootHex
                                                    : BoardFilesConfig::kStk500v2Hex);
}

QList<Sketch> sketches()
{
    QList<Sketch> all;
    for (const SketchName &entry : kSketches)
        all.append(describe(entry));
    return all;
}

Sketch chattySketch(BoardKind kind)
{
    return describe(kChattySketches[kind == BoardKind::Uno ? 0 : 1]);
}

Sketch sketch(const QString &name)
{
    for (const SketchName &entry : kSketches) {
        if (name == QLatin1String(entry.name))
            return describe(entry);
    }
    for (const SketchName &entry : kChattySketches) {
        if (name == QLatin1String(entry.name))
            return describe(entry);
    }
    Sketch unknown;
    unknown.name = name;
    return unknown;
}

QString missing()
{
    return QString::fromUtf8(BoardFilesConfig::kMissing);
}

} // namespace BoardFiles
