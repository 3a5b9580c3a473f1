#pragma once

#include "tidewire/TidewireExtension.h"

namespace relaymatrix::extensions::tidewire {

using LogLevel = TidewireExtension::LogLevel;

// Whether a line at `level` is wanted by the host; test it before building the line.
bool logsAt(LogLevel level);
void setLowestLogLevel(LogLevel level);

}  // namespace relaymatrix::extensions::tidewire
