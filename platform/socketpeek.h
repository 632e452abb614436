#pragma once

#include <QtGlobal>

// Whether a connected socket with nothing to read has reached the end of its
// peer's stream (or was reset), looked at without taking anything from it.
bool peerDoneSending(qintptr descriptor);
