#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "relaymatrix/LogCapture.h"

namespace tidewire_test {

using relaymatrix::testing::LogLevel;

struct LogLine {
    LogLevel level;
    std::string text;
    bool operator==(const LogLine& other) const {
        return level == other.level && text == other.text;
    }
};

// Captures every log message while alive. Waiting is event-driven with a deadline.
class LogRecorder {
public:
    LogRecorder() {
        relaymatrix::testing::setLogSink([this](LogLevel level, const std::string& text) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back({level, text});
            }
            changed_.notify_all();
        });
    }
    ~LogRecorder() { relaymatrix::testing::setLogSink({}); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Lines at `level` only, in order.
    std::vector<std::string> texts(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& line : lines()) {
            if (line.level == level) {
                result.push_back(line.text);
            }
        }
        return result;
    }

    size_t count(LogLevel level, const std::string& text) const {
        size_t n = 0;
        for (const auto& line : lines()) {
            n += (line.level == level && line.text == text) ? 1 : 0;
        }
        return n;
    }

    size_t countPrefix(LogLevel level, const std::string& prefix) const {
        size_t n = 0;
        for (const auto& line : lines()) {
            n += (line.level == level && line.text.compare(0, prefix.size(), prefix) == 0) ? 1 : 0;
        }
        return n;
    }

    // Waits until `predicate(lines)` holds or the deadline passes; returns whether it held.
    bool waitFor(const std::function<bool(const std::vector<LogLine>&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return predicate(lines_); });
    }

    bool waitForLine(LogLevel level, const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return waitFor(
            [&](const std::vector<LogLine>& lines) {
                for (const auto& line : lines) {
                    if (line.level == level && line.text == text) {
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }

    bool waitForPrefix(LogLevel level, const std::string& prefix,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return waitFor(
            [&](const std::vector<LogLine>& lines) {
                for (const auto& line : lines) {
                    if (line.level == level && line.text.compare(0, prefix.size(), prefix) == 0) {
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<LogLine> lines_;
};

}  // namespace tidewire_test
