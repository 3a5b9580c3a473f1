#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Conversation.h"
#include "LogRecorder.h"
#include "ServerHarness.h"
#include "SessionEvents.h"
#include "TestCertificates.h"
#include "tidewire/WebSocketClient.h"

using namespace interop;
using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;

namespace {

constexpr std::chrono::seconds eventTimeout(60);

// node ws connects to our server twice (conversation.js): every size both ways, our
// server's fragmented opening messages, ws's fragments with a ping between them, a binary
// MiB in fragments, pings with payload both ways, then a close from each side.
void nodeClientAgainstOurServer(bool tls) {
    LogRecorder log;
    ServerHarness server(tls, [](ServerHarness::Session& session, SessionEvents& events,
                                 unsigned int) { serveConversation(session, events); });
    std::vector<std::string> arguments = {
        "client", (tls ? "wss://127.0.0.1:" : "ws://127.0.0.1:") + std::to_string(server.port())};
    if (tls) {
        arguments.push_back(TestCertificates::get().caFile);
    }
    ChildProcess node = startNode("ws_peer.js", arguments);
    std::string output;
    EXPECT_TRUE(awaitLine(node, "CLIENT OK", output)) << output;
    EXPECT_EQ(node.exitStatus(std::chrono::seconds(30)), 0) << output << node.unread();

    SessionEvents* conversation = server.session(0);
    SessionEvents* serverCloses = server.session(1);
    ASSERT_NE(conversation, nullptr);
    ASSERT_NE(serverCloses, nullptr);
    ASSERT_TRUE(serverCloses->waitFor("close", eventTimeout));
    ASSERT_TRUE(log.waitForLine(
        LogLevel::debug, "[WebSocketServer] Session disconnected and removed - session ID: 1"));
    EXPECT_EQ(firstDifference(conversation->events(), serverEventsOfConversation(true)), "");
    EXPECT_EQ(firstDifference(serverCloses->events(), serverEventsOfServerCloses()), "");
    // ws pinged "between" its fragments and "cli-ping" later; it answered our "srv-ping".
    EXPECT_EQ(log.count(LogLevel::debug,
                        "[WebSocketServer][WebSocketSession] Received ping, sending pong..."),
              2u);
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketServer][WebSocketSession] Received pong"), 1u);
    EXPECT_EQ(server.sessionCount(), 2u);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

// Our client connects twice to a node ws server (conversation.js), offering two
// subprotocols: ws picks the first.
void ourClientAgainstNodeServer(bool tls) {
    LogRecorder log;
    std::vector<std::string> arguments = {"server"};
    if (tls) {
        const TestCertificates& certificates = TestCertificates::get();
        TestCertificates::trustTestCa();
        arguments.push_back(certificates.serverCertFile);
        arguments.push_back(certificates.serverKeyFile);
    }
    ChildProcess node = startNode("ws_peer.js", arguments);
    const std::string portLine = node.readLine(std::chrono::seconds(30));
    ASSERT_EQ(portLine.rfind("PORT ", 0), 0u) << portLine << node.unread();
    // By name under TLS, so that the host-name check sees a DNS name.
    const std::string base = (tls ? "wss://localhost:" : "ws://127.0.0.1:") + portLine.substr(5);
    const std::vector<std::string> protocols = {"chat", "superchat"};

    std::vector<std::string> expected = {"open"};
    for (const Message& message : serverOpening()) {
        expected.push_back(event(message));
    }
    const size_t openingEvents = expected.size();

    SessionEvents events;
    auto client =
        std::make_unique<WebSocketClient>(base + "/conversation", protocols, events.handlers());
    for (const Message& message : fragmentedMessages()) {
        expected.push_back(event(message));
    }
    ASSERT_TRUE(events.waitForCount(expected.size(), eventTimeout))
        << firstDifference(events.events(), expected);
    for (const Message& message : clientMessages(true)) {
        const std::string text(message.bytes.begin(), message.bytes.end());
        // "frag-ment-ed" goes out as "frag-" "ment-" "ed", the binary MiB in 64 KiB frames.
        const size_t frameSize = text == "frag-ment-ed" ? 5
                                 : message.bytes.size() == 1024 * 1024 && !message.isText
                                     ? fragmentedBinaryPiece
                                     : 0;
        client->send(message.bytes, message.isText, frameSize);
        expected.push_back(event(message));
        ASSERT_TRUE(events.waitForCount(expected.size(), eventTimeout))
            << firstDifference(events.events(), expected);
    }
    // ws pinged "between" its fragments, and "srv-ping" before echoing "ping me".
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketClient] Received ping, sending pong..."), 2u);
    client->ping(bytesOf("cli-ping"));
    EXPECT_TRUE(log.waitForLine(LogLevel::debug, "[WebSocketClient] Received pong", eventTimeout));
    client->close(closePayload(clientCloseReason()));
    expected.push_back("close");
    ASSERT_TRUE(events.waitForCount(expected.size(), eventTimeout));
    EXPECT_EQ(firstDifference(events.events(), expected), "");
    client.reset();

    SessionEvents second;
    client =
        std::make_unique<WebSocketClient>(base + "/server-closes", protocols, second.handlers());
    ASSERT_TRUE(second.waitForCount(openingEvents, eventTimeout));
    client->send(bytesOf("close me"), true, 0);
    ASSERT_TRUE(second.waitFor("close", eventTimeout));
    expected.resize(openingEvents);
    expected.push_back("close");
    EXPECT_EQ(firstDifference(second.events(), expected), "");
    client.reset();

    std::string output;
    EXPECT_TRUE(awaitLine(node, "SERVER OK", output)) << output;
    EXPECT_EQ(node.exitStatus(std::chrono::seconds(30)), 0) << output << node.unread();
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketClient] Negotiated protocol: chat"), 2u);
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketClient] Received pong"), 1u);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

}  // namespace

TEST(InteropNodeWs, WsClientAgainstOurServer) {
    nodeClientAgainstOurServer(false);
}

TEST(InteropNodeWs, WssClientAgainstOurServer) {
    nodeClientAgainstOurServer(true);
}

TEST(InteropNodeWs, OurClientAgainstWsServer) {
    ourClientAgainstNodeServer(false);
}

TEST(InteropNodeWs, OurClientAgainstWssServer) {
    ourClientAgainstNodeServer(true);
}
