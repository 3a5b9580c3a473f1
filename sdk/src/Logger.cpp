#include "relaymatrix/Logger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "relaymatrix/LogCapture.h"

namespace relaymatrix {
namespace {

using testing::LogLevel;

// Messages below this level are not written to standard error. RELAYMATRIX_LOG_LEVEL
// chooses it: trace, debug, info (the default), error or off.
int thresholdFromEnvironment() {
    const char* value = std::getenv("RELAYMATRIX_LOG_LEVEL");
    if (value == nullptr) {
        return static_cast<int>(LogLevel::info);
    }
    static const char* const names[] = {"trace", "debug", "info", "error", "off"};
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(value, names[i]) == 0) {
            return i;
        }
    }
    return static_cast<int>(LogLevel::info);
}

struct LoggerState {
    const int threshold = thresholdFromEnvironment();
    std::mutex outputMutex;  // one whole entry at a time on standard error
    std::mutex sinkMutex;    // held while the sink runs, so removal waits for it
    testing::LogSink sink;
    std::atomic<bool> hasSink{false};  // lets the common path skip sinkMutex
};

LoggerState& state() {
    static LoggerState instance;
    return instance;
}

void write(LogLevel level, const std::string& message) noexcept {
    try {
        LoggerState& s = state();
        if (s.hasSink.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> lock(s.sinkMutex);
            if (s.sink) {
                s.sink(level, message);
            }
        }
        if (static_cast<int>(level) < s.threshold) {
            return;
        }
        const char* tag = testing::logLevelName(level);
        std::lock_guard<std::mutex> lock(s.outputMutex);
        std::fprintf(stderr, "[%s] ", tag);
        // fwrite keeps NUL bytes that payload text may carry.
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    } catch (...) {
        // A logger must never fail its caller.
    }
}

}  // namespace

void Logger::trace(const std::string& message) {
    write(LogLevel::trace, message);
}
void Logger::debug(const std::string& message) {
    write(LogLevel::debug, message);
}
void Logger::info(const std::string& message) {
    write(LogLevel::info, message);
}
void Logger::error(const std::string& message) {
    write(LogLevel::error, message);
}

namespace testing {

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::trace:
            return "trace";
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::error:
            return "error";
    }
    return "?";
}

void setLogSink(LogSink sink) {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.sinkMutex);
    s.sink = std::move(sink);
    s.hasSink.store(static_cast<bool>(s.sink), std::memory_order_release);
}

}  // namespace testing
}  // namespace relaymatrix
