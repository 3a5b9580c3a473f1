#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "ServerHarness.h"
#include "SessionEvents.h"
#include "TestCertificates.h"
#include "tidewire/WebSocketClient.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

const std::string sessionTag = "[WebSocketServer][WebSocketSession] ";
const std::string clientTag = "[WebSocketClient] ";
const std::string removed0 = "[WebSocketServer] Session disconnected and removed - session ID: 0";

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 16));
    }
    return bytes;
}

// Waits until exactly `n` lines equal to `text` have been logged at `level`.
bool waitForLines(const LogRecorder& log, LogLevel level, const std::string& text, long n) {
    return log.waitFor([&](const std::vector<LogLine>& lines) {
        return std::count(lines.begin(), lines.end(), LogLine{level, text}) == n;
    });
}

// Received messages as "text:<size>:<hash>" or "binary:<size>:<hash>", so that large ones
// can be checked byte for byte without keeping copies.
class DigestLog {
public:
    static std::string digest(const std::vector<uint8_t>& bytes, bool isText) {
        uint64_t hash = 1469598103934665603ull;  // FNV-1a
        for (uint8_t byte : bytes) {
            hash = (hash ^ byte) * 1099511628211ull;
        }
        return (isText ? "text:" : "binary:") + std::to_string(bytes.size()) + ":" +
               std::to_string(hash);
    }

    void add(const std::vector<uint8_t>& bytes, bool isText) {
        std::string entry = digest(bytes, isText);
        {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back(std::move(entry));
        }
        changed.notify_all();
    }

    bool waitForCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60),
                                [&] { return entries.size() >= n; });
    }

    std::string last() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.empty() ? std::string() : entries.back();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> entries;
};

std::string event(const std::vector<uint8_t>& bytes, bool isText) {
    return (isText ? "text:" : "binary:") + std::string(bytes.begin(), bytes.end());
}

// Our client against our server, over plain TCP or TLS (the client trusting the test CA).
// Members are ordered so that the client goes first, then the server, then what their
// handlers use.
class EndToEnd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { TestCertificates::trustTestCa(); }

    // Starts the server with `setup` for its sessions and connects one client to it, whose
    // messages go to `onMessage` instead of clientEvents when it is given.
    void connect(ServerHarness::Setup setup = {},
                 std::function<void(const std::vector<uint8_t>&, bool)> onMessage = {}) {
        server = std::make_unique<ServerHarness>(GetParam(), std::move(setup));
        const std::string url = std::string(GetParam() ? "wss" : "ws") +
                                "://127.0.0.1:" + std::to_string(server->port()) + "/";
        WebSocketClient::Handlers handlers = clientEvents.handlers();
        if (onMessage) {
            handlers.onMessage = std::move(onMessage);
        }
        client =
            std::make_unique<WebSocketClient>(url, std::vector<std::string>{}, std::move(handlers));
        ASSERT_TRUE(clientEvents.waitFor("open"));
        sessionEvents = server->session(0);
        ASSERT_NE(sessionEvents, nullptr);
        ASSERT_TRUE(sessionEvents->waitFor("open"));
        session = (**server).getSession(0);
        ASSERT_NE(session, nullptr);
    }

    LogRecorder log;
    SessionEvents clientEvents;
    // Messages recorded as digests, so a 16 MiB message is not copied around the test.
    DigestLog atServer;
    DigestLog atClient;
    std::unique_ptr<ServerHarness> server;
    SessionEvents* sessionEvents = nullptr;
    std::shared_ptr<WebSocketSession> session;
    std::unique_ptr<WebSocketClient> client;
};

INSTANTIATE_TEST_SUITE_P(PlainAndTls, EndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

}  // namespace

TEST_P(EndToEnd, MessagesOfEverySizeBothWays) {
    connect(
        [this](ServerHarness::Session& session, SessionEvents&, unsigned int) {
            session.onMessageHandler = [this, &session](const std::vector<uint8_t>& bytes,
                                                        bool isText) {
                atServer.add(bytes, isText);
                session.send(bytes, isText, 1 << 20);  // echo in frames of 1 MiB
            };
        },
        [this](const std::vector<uint8_t>& bytes, bool isText) { atClient.add(bytes, isText); });
    const size_t sizes[] = {0, 1, 125, 126, 65535, 65536, 16 * 1024 * 1024};
    size_t count = 0;
    for (size_t size : sizes) {
        const bool isText = size == 126;
        const std::vector<uint8_t> message = pattern(size, static_cast<uint8_t>(size));
        client->send(message, isText, std::max<size_t>(size, 1));
        ++count;
        ASSERT_TRUE(atServer.waitForCount(count)) << size;
        ASSERT_TRUE(atClient.waitForCount(count)) << size;
        EXPECT_EQ(atServer.last(), DigestLog::digest(message, isText)) << size;
        EXPECT_EQ(atClient.last(), DigestLog::digest(message, isText)) << size;
    }
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST_P(EndToEnd, FragmentedSendsArriveWhole) {
    connect();
    const std::vector<uint8_t> toServer = pattern(100, 1);
    client->send(toServer, true, 7);
    ASSERT_TRUE(sessionEvents->waitForCount(2));
    EXPECT_EQ(sessionEvents->events()[1], event(toServer, true));
    EXPECT_TRUE(
        waitForLines(log, LogLevel::debug, clientTag + "Send succeeded - opcode: Text", 15));

    const std::vector<uint8_t> toClient = pattern(100, 2);
    session->send(toClient, false, 3);
    ASSERT_TRUE(clientEvents.waitForCount(2));
    EXPECT_EQ(clientEvents.events()[1], event(toClient, false));
    ASSERT_TRUE(log.waitFor([](const std::vector<LogLine>& lines) {
        return std::count(
                   lines.begin(), lines.end(),
                   LogLine{LogLevel::debug, sessionTag + "Send succeeded - opcode: Binary"}) == 34;
    }));
}

TEST_P(EndToEnd, PingsAreAnsweredBothWays) {
    connect();
    client->ping({'c'});
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, clientTag + "Received pong"));
    EXPECT_EQ(log.count(LogLevel::debug, sessionTag + "Received ping, sending pong..."), 1u);
    session->ping({'s'});
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, sessionTag + "Received pong"));
    EXPECT_EQ(log.count(LogLevel::debug, clientTag + "Received ping, sending pong..."), 1u);
    EXPECT_EQ(clientEvents.events(), std::vector<std::string>{"open"});
    EXPECT_EQ(sessionEvents->events(), std::vector<std::string>{"open"});
}

TEST_P(EndToEnd, ClientStartsTheClose) {
    connect();
    client->close({0x03, 0xE8});
    ASSERT_TRUE(clientEvents.waitFor("close"));
    ASSERT_TRUE(sessionEvents->waitFor("close"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removed0));
    EXPECT_EQ(clientEvents.events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(sessionEvents->events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ((**server).getSession(0), nullptr);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST_P(EndToEnd, ServerStartsTheClose) {
    connect();
    session->close({0x03, 0xE8});
    ASSERT_TRUE(clientEvents.waitFor("close"));
    ASSERT_TRUE(sessionEvents->waitFor("close"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removed0));
    EXPECT_EQ(clientEvents.events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(sessionEvents->events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ((**server).getSession(0), nullptr);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}
