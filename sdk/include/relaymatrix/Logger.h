#pragma once

#include <string>

namespace relaymatrix {

// The host SDK's logger. Each call carries one complete message, owned by the caller
// for the duration of the call only. Calls may come from any thread; none throws.
class Logger {
public:
    static void trace(const std::string& message);
    static void debug(const std::string& message);
    static void info(const std::string& message);
    static void error(const std::string& message);
};

}  // namespace relaymatrix
