#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Conversation.h"
#include "LogRecorder.h"
#include "ServerHarness.h"
#include "SessionEvents.h"

using namespace interop;
using namespace tidewire_test;

// Headless Chromium connects to a plain and a TLS server of ours, twice each
// (conversation.js): every size both ways, our fragmented opening messages, a ping from our
// side that the browser answers, then a close from each side with status 1000 and a reason.
// The page checks every byte it receives; the servers check every byte they receive.
TEST(InteropBrowser, ChromiumAgainstOurServers) {
    LogRecorder log;
    const auto setup = [](ServerHarness::Session& session, SessionEvents& events, unsigned int) {
        serveConversation(session, events);
    };
    ServerHarness plain(false, setup);
    ServerHarness tls(true, setup);
    const std::string plainBase = "ws://127.0.0.1:" + std::to_string(plain.port());
    const std::string tlsBase = "wss://127.0.0.1:" + std::to_string(tls.port());

    ChildProcess browser = startNode("browser_peer.js", {plainBase, tlsBase});
    std::string output;
    EXPECT_TRUE(awaitLine(browser, "BROWSER OK " + plainBase, output)) << output;
    EXPECT_TRUE(awaitLine(browser, "BROWSER OK " + tlsBase, output)) << output;
    EXPECT_EQ(browser.exitStatus(std::chrono::seconds(60)), 0) << output << browser.unread();

    for (ServerHarness* server : {&plain, &tls}) {
        SessionEvents* conversation = server->session(0);
        SessionEvents* serverCloses = server->session(1);
        ASSERT_NE(conversation, nullptr);
        ASSERT_NE(serverCloses, nullptr);
        ASSERT_TRUE(serverCloses->waitFor("close", std::chrono::seconds(60)));
        EXPECT_EQ(firstDifference(conversation->events(), serverEventsOfConversation(false)), "");
        EXPECT_EQ(firstDifference(serverCloses->events(), serverEventsOfServerCloses()), "");
        EXPECT_EQ(server->sessionCount(), 2u);
    }
    // The browser answered each server's "srv-ping"; it never pings by itself.
    EXPECT_TRUE(log.waitFor(
        [](const std::vector<LogLine>& lines) {
            size_t pongs = 0;
            for (const LogLine& line : lines) {
                pongs += line.text == "[WebSocketServer][WebSocketSession] Received pong" ? 1 : 0;
            }
            return pongs == 2;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(log.countPrefix(LogLevel::debug,
                              "[WebSocketServer][WebSocketSession] Received ping, sending pong"),
              0u);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}
