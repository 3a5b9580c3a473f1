#pragma once

#include <functional>
#include <string>

// Test hook of the logger stand-in; the host's real SDK does not have it.
namespace relaymatrix::testing {

enum class LogLevel { trace, debug, info, error };

const char* logLevelName(LogLevel level);

// Receives every message at every level, whatever the output threshold, on the
// logging thread. The sink must not log itself.
using LogSink = std::function<void(LogLevel, const std::string&)>;

// Installs `sink`; an empty function removes it. Returns after any call of a previous
// sink has finished, so a removed sink's captured state may be destroyed right away.
void setLogSink(LogSink sink);

}  // namespace relaymatrix::testing
