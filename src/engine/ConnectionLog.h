#pragma once

#include <string>
#include <string_view>

#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"

namespace relaymatrix::extensions::tidewire {

// Log lines of one side of a connection: `Side::logPrefix()`, then the text and its tail,
// built in one allocation, and only when the host wants that level. Error lines never throw;
// they are written on failure paths.
template <class Side>
struct ConnectionLog {
    static std::string line(std::string_view text, std::string_view more) {
        const std::string_view prefix = Side::logPrefix();
        std::string result;
        result.reserve(prefix.size() + text.size() + more.size());
        result += prefix;
        result += text;
        result += more;
        return result;
    }
    // For a caller whose text itself costs work to build.
    static bool on(LogLevel level) { return logsAt(level); }

    static void trace(std::string_view text, std::string_view more = {}) {
        if (logsAt(LogLevel::trace)) {
            relaymatrix::Logger::trace(line(text, more));
        }
    }
    static void debug(std::string_view text, std::string_view more = {}) {
        if (logsAt(LogLevel::debug)) {
            relaymatrix::Logger::debug(line(text, more));
        }
    }
    static void info(std::string_view text, std::string_view more = {}) {
        if (logsAt(LogLevel::info)) {
            relaymatrix::Logger::info(line(text, more));
        }
    }
    static void error(std::string_view text, std::string_view more = {}) noexcept {
        try {
            if (logsAt(LogLevel::error)) {
                relaymatrix::Logger::error(line(text, more));
            }
        } catch (...) {
        }
    }
};

}  // namespace relaymatrix::extensions::tidewire
