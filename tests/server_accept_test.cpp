#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "relaymatrix/LogCapture.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketServer;

namespace {

// Log lines with the time they were logged, so the spacing of retries can be checked.
class TimedLog {
public:
    using Clock = std::chrono::steady_clock;

    TimedLog() {
        relaymatrix::testing::setLogSink([this](LogLevel, const std::string& text) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                lines.push_back({Clock::now(), text});
            }
            changed.notify_all();
        });
    }
    ~TimedLog() { relaymatrix::testing::setLogSink({}); }

    // Times of the first `n` lines equal to `text`; empty when they do not come in time.
    std::vector<Clock::time_point> waitForLines(const std::string& text, size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        std::vector<Clock::time_point> times;
        changed.wait_for(lock, std::chrono::seconds(10), [&] {
            times.clear();
            for (const auto& line : lines) {
                if (line.second == text && times.size() < n) {
                    times.push_back(line.first);
                }
            }
            return times.size() == n;
        });
        return times.size() == n ? times : std::vector<Clock::time_point>{};
    }

    bool waitForPrefix(const std::string& prefix) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& line : lines) {
                if (line.second.rfind(prefix, 0) == 0) {
                    return true;
                }
            }
            return false;
        });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<Clock::time_point, std::string>> lines;
};

// The lowest descriptor number not in use: with the soft limit there, no new descriptor
// can be made.
int lowestFreeDescriptor() {
    int fd = 0;
    while (fcntl(fd, F_GETFD) != -1) {
        ++fd;
    }
    return fd;
}

std::string upgradeAndRead(RawClient& client) {
    client.send(upgradeRequest("dGhlIHNhbXBsZSBub25jZQ=="));
    return client.readHeaderBlock();
}

}  // namespace

// Out of descriptors, accept fails at once every time it is tried; the server must rest
// between attempts instead of spinning, and serve the waiting client once descriptors are
// back.
TEST(ServerAccept, DescriptorExhaustionIsRetriedAfterAPauseNotInAHotLoop) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    // The undefined-behaviour sanitizer that comes with this configuration needs a fresh pipe
    // for its own checks and reports false errors without descriptors; the normal and thread
    // sanitizer configurations run this test.
    GTEST_SKIP() << "sanitizer runtime needs descriptors";
#endif
#endif
    TimedLog log;
    WebSocketServer server(0);
    RawClient client(server.boundPort());  // waits in the backlog until the server accepts

    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor());
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    server.start();

    const auto times = log.waitForLines("[WebSocketServer] Accept error: Too many open files", 3);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_EQ(times.size(), 3u);
    // Timers never fire early: at least two pauses lie between the first and third try.
    EXPECT_GE(times[2] - times[0], std::chrono::milliseconds(200));

    ASSERT_TRUE(log.waitForPrefix("[WebSocketServer] Accept: 127.0.0.1:"));
    EXPECT_EQ(upgradeAndRead(client).rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
    EXPECT_NE(server.getSession(0), nullptr);
}

TEST(ServerAccept, PeerGoneBeforeAcceptIsDroppedAndAcceptingGoesOn) {
    LogRecorder log;
    WebSocketServer server(0);
    {
        RawClient gone(server.boundPort());
        gone.closeAbruptly(true);  // reset while still in the backlog
    }
    RawClient client(server.boundPort());
    server.start();
    ASSERT_TRUE(log.waitForLine(
        LogLevel::error, "[WebSocketServer] Accept error: Transport endpoint is not connected"));
    EXPECT_EQ(upgradeAndRead(client).rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
    // The dropped connection took no identifier.
    EXPECT_NE(server.getSession(0), nullptr);
    EXPECT_EQ(server.getSession(1), nullptr);
    EXPECT_EQ(log.countPrefix(LogLevel::info, "[WebSocketServer] Accept: "), 1u);
}
