#include "LogThreshold.h"

#include <atomic>

namespace relaymatrix::extensions::tidewire {

namespace {
// Read for every line, on every thread; relaxed is enough for a setting.
std::atomic<int> lowest{static_cast<int>(LogLevel::trace)};
}  // namespace

bool logsAt(LogLevel level) {
    return static_cast<int>(level) >= lowest.load(std::memory_order_relaxed);
}

void setLowestLogLevel(LogLevel level) {
    lowest.store(static_cast<int>(level), std::memory_order_relaxed);
}

}  // namespace relaymatrix::extensions::tidewire
