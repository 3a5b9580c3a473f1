#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

std::string event(const std::vector<uint8_t>& bytes, bool isText) {
    return (isText ? "text:" : "binary:") + std::string(bytes.begin(), bytes.end());
}

// Our client against our server, over plain TCP or TLS (the client trusting the test CA).
// Members are ordered so that the client goes first, then the server, then what their
// handlers use.
class EndToEnd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { TestCertificates::trustTestCa(); }

    // Starts the server with `setup` for its sessions and connects one client to it.
    void connect(ServerHarness::Setup setup = {}) {
        server = std::make_unique<ServerHarness>(GetParam(), std::move(setup));
        const std::string url = std::string(GetParam() ? "wss" : "ws") +
                                "://127.0.0.1:" + std::to_string(server->port()) + "/";
        client = std::make_unique<WebSocketClient>(url, std::vector<std::string>{},
                                                   clientEvents.handlers());
        ASSERT_TRUE(clientEvents.waitFor("open"));
        sessionEvents = server->session(0);
        ASSERT_NE(sessionEvents, nullptr);
        ASSERT_TRUE(sessionEvents->waitFor("open"));
        session = (**server).getSession(0);
        ASSERT_NE(session, nullptr);
    }

    LogRecorder log;
    SessionEvents clientEvents;
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
    connect([](ServerHarness::Session& session, SessionEvents& events, unsigned int) {
        // Echo with a different pattern, so the reply is not the client's own bytes.
        events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
            std::vector<uint8_t> reply(bytes);
            std::reverse(reply.begin(), reply.end());
            session.send(reply, isText, 1 << 20);
        };
    });
    const size_t sizes[] = {0, 1, 125, 126, 65535, 65536, 16 * 1024 * 1024};
    size_t expectedEvents = 1;
    for (size_t size : sizes) {
        const bool isText = size == 126;
        const std::vector<uint8_t> message = pattern(size, static_cast<uint8_t>(size));
        client->send(message, isText, std::max<size_t>(size, 1));
        ++expectedEvents;
        ASSERT_TRUE(clientEvents.waitForCount(expectedEvents)) << size;
        ASSERT_TRUE(sessionEvents->waitForCount(expectedEvents)) << size;
        std::vector<uint8_t> reply(message.rbegin(), message.rend());
        EXPECT_TRUE(sessionEvents->events().back() == event(message, isText)) << size;
        EXPECT_TRUE(clientEvents.events().back() == event(reply, isText)) << size;
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
