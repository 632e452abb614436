#pragma once

#include "simulatedboard.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Where this build found the bootloaders and put the AVR test programs. A
// path is empty when the build lacked a package; missing() says which.
namespace BoardFiles {

// optiboot built for the UNO's 512-byte boot section, or the package's
// stk500v2 bootloader (MEGA).
QString bootloaderHex(BoardKind kind);

// A test program: once started it prints `line` on UART0, again every second.
struct Sketch
{
    QString name;
    BoardKind kind = BoardKind::Uno;
    QString hexPath;
    QString binaryPath;
    QByteArray line;
};

// tiny-uno, full-uno (the UNO's 32,256 bytes below its bootloader),
// tiny-mega, over64k-mega, over128k-mega, full-mega (the MEGA's 253,952).
QList<Sketch> sketches();
// A small program of the kind that prints its line over and over without a
// pause (chatty-uno, chatty-mega).
Sketch chattySketch(BoardKind kind);
// The sketch of that name; its paths are empty when it was not built.
Sketch sketch(const QString &name);

// What the build was missing, for skip messages; empty when nothing was.
QString missing();

} // namespace BoardFiles
