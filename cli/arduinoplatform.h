#pragma once

#include "cli/commandentry.h"
#include "cli/options.h"

#include <QByteArray>
#include <QString>

// rudireze-cli install-platform: the Arduino IDE platform of the repository's
// arduino/hardware/rudireze/avr, written into a sketchbook's hardware folder
// with platform.local.txt naming this program's full path, so the IDE finds
// rudireze-cli wherever it was installed.
extern const CommandEntry kInstallPlatformCommand;
int runInstallPlatform(const Options &options);

// The platform's folder below a sketchbook.
QString platformFolder(const QString &sketchbook);

// platform.local.txt for the rudireze-cli at `program`: every key of
// platform.txt that names the program, with its full path.
QByteArray platformLocalText(const QString &program);
