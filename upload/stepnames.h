#pragma once

#include <QByteArray>
#include <QString>

// A short name for the STK500 command a step sends ("program page", "sign
// on"), for messages that say where an upload stopped. Version 2 frames are
// told apart by their MESSAGE_START byte, which no version 1 command uses.
QString stkStepName(const QByteArray &commandBytes);
