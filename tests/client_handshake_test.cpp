#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "ScriptedPeer.h"
#include "SessionEvents.h"
#include "tidewire/WebSocketClient.h"

using relaymatrix::extensions::tidewire::WebSocketClient;
using namespace tidewire_test;

namespace {

const std::string tag = "[WebSocketClient] ";

std::string expectedRequest(const std::string& target, const std::string& key,
                            const std::string& protocolLine = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n" +
           "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: " + key +
           "\r\nSec-WebSocket-Version: 13\r\n" + protocolLine + "\r\n";
}

struct ClientOpening : ::testing::Test {
    LogRecorder log;
    SessionEvents events;
    ScriptedPeer peer;
    std::unique_ptr<WebSocketClient> client;
    std::string request;

    void connect(const std::string& path = "/", const std::vector<std::string>& protocols = {}) {
        client = std::make_unique<WebSocketClient>(peer.url(path), protocols, events.handlers());
        ASSERT_TRUE(peer.accept());
        request = peer.readRequest();
        ASSERT_FALSE(request.empty());
    }

    // Sends `response`, expects the handshake to fail with `failure`, and checks the whole
    // failure sequence: one error line, one report, the connection closed, no open.
    void expectRefusal(const std::string& response, const std::string& failure) {
        ASSERT_TRUE(peer.send(response));
        ASSERT_TRUE(log.waitForLine(LogLevel::debug, tag + "Connection closed"));
        EXPECT_TRUE(peer.waitForEndOfStream());
        client.reset();
        EXPECT_EQ(log.texts(LogLevel::error), std::vector<std::string>{tag + failure});
        EXPECT_EQ(events.events(), std::vector<std::string>{"error:" + failure});
        EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u);
    }
};

}  // namespace

TEST_F(ClientOpening, RequestWithoutSubprotocolsIsByteExactWithHostWithoutPort) {
    connect("/chat?room=1#top");
    const std::string key = requestKey(request);
    ASSERT_EQ(key.size(), 24u);
    EXPECT_EQ(key.substr(22), "==");
    EXPECT_EQ(request, expectedRequest("/chat?room=1", key));
    EXPECT_TRUE(peer.pending().empty());
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{
                  {LogLevel::info, tag + "Connect: 127.0.0.1:" + std::to_string(peer.port())},
                  {LogLevel::trace, tag + "Handshake request: " + request}}));
}

TEST_F(ClientOpening, RequestListsSubprotocolsAndPathDefaultsToSlash) {
    connect("", {"a", "b"});
    EXPECT_EQ(request,
              expectedRequest("/", requestKey(request), "Sec-WebSocket-Protocol: a, b\r\n"));
}

TEST_F(ClientOpening, OpensWithLowerCaseHeadersAndLogsEveryNamedSubprotocol) {
    connect("/", {"chat"});
    const std::string accept = switchingProtocols(request).substr(
        switchingProtocols(request).find("Sec-WebSocket-Accept: ") + 22, 28);
    ASSERT_TRUE(
        peer.send("HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\n"
                  "sec-websocket-protocol: chat\r\nsec-websocket-accept: " +
                  accept + "\r\nSEC-WEBSOCKET-PROTOCOL: unoffered\r\n\r\n"));
    ASSERT_TRUE(events.waitFor("open"));
    client.reset();
    EXPECT_EQ(events.events(), std::vector<std::string>{"open"});
    const std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], (LogLine{LogLevel::debug, tag + "Negotiated protocol: chat"}));
    EXPECT_EQ(lines[3], (LogLine{LogLevel::debug, tag + "Negotiated protocol: unoffered"}));
    EXPECT_EQ(lines[4], (LogLine{LogLevel::debug, tag + "Handshake successful"}));
}

TEST_F(ClientOpening, Http10StatusLinePasses) {
    connect();
    std::string response = switchingProtocols(request);
    response.replace(0, 8, "HTTP/1.0");
    ASSERT_TRUE(peer.send(response));
    EXPECT_TRUE(events.waitFor("open"));
}

TEST_F(ClientOpening, Status200IsRefusedWithTheStatusLineText) {
    connect();
    expectRefusal("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                  "Handshake validation error: Invalid HTTP response or status code: "
                  "HTTP/1.1 200  OK\r");
}

TEST_F(ClientOpening, StatusToken101xIsRefused) {
    connect();
    std::string response = switchingProtocols(request);
    response.replace(9, 3, "101x");
    expectRefusal(response,
                  "Handshake validation error: Invalid HTTP response or status code: "
                  "HTTP/1.1 101x  Switching Protocols\r");
}

TEST_F(ClientOpening, MissingAcceptIsRefused) {
    connect();
    expectRefusal("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n",
                  "Handshake validation error: Missing Sec-WebSocket-Accept in response");
}

TEST_F(ClientOpening, EmptyAcceptIsRefusedAsMissing) {
    connect();
    expectRefusal("HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: \r\n\r\n",
                  "Handshake validation error: Missing Sec-WebSocket-Accept in response");
}

TEST_F(ClientOpening, WrongAcceptIsRefusedNamingBothValues) {
    connect();
    const std::string expected = switchingProtocols(request).substr(
        switchingProtocols(request).find("Sec-WebSocket-Accept: ") + 22, 28);
    expectRefusal(
        "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: "
        "AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n",
        "Handshake validation error: Invalid Sec-WebSocket-Accept: "
        "AAAAAAAAAAAAAAAAAAAAAAAAAAA= expected: " +
            expected);
}

TEST_F(ClientOpening, DuplicatedAcceptUsesTheLastLine) {
    connect();
    const std::string good = switchingProtocols(request);
    const std::string wrongFirst =
        good.substr(0, good.size() - 2) + "Sec-WebSocket-Accept: nope\r\n\r\n";
    const std::string expected = good.substr(good.find("Sec-WebSocket-Accept: ") + 22, 28);
    expectRefusal(wrongFirst,
                  "Handshake validation error: Invalid Sec-WebSocket-Accept: nope "
                  "expected: " +
                      expected);
}

TEST_F(ClientOpening, DuplicatedAcceptWithTheRightValueLastOpens) {
    connect();
    const std::string good = switchingProtocols(request);
    const size_t at = good.find("Sec-WebSocket-Accept: ");
    ASSERT_TRUE(peer.send(good.substr(0, at) + "Sec-WebSocket-Accept: nope\r\n" + good.substr(at)));
    EXPECT_TRUE(events.waitFor("open"));
}

TEST_F(ClientOpening, ServerClosingBeforeTheEmptyLineIsAResponseError) {
    connect();
    ASSERT_TRUE(peer.send("HTTP/1.1 101 Switching Protocols\r\n"));
    peer.closeConnection();
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, tag + "Connection closed"));
    client.reset();
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{tag + "Handshake response error: End of file"});
    EXPECT_EQ(events.events(), std::vector<std::string>{"error:End of file"});
}

TEST_F(ClientOpening, EndlessHeaderFailsAtTheCapAsAResponseError) {
    connect();
    std::string filler = "HTTP/1.1 101 Switching Protocols\r\n";
    while (filler.size() < 64 * 1024) {
        filler += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
    }
    // The client stops reading at the cap, so part of this may never be taken.
    peer.send(filler);
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, tag + "Connection closed"));
    client.reset();
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{tag + "Handshake response error: Message too long"});
    EXPECT_EQ(events.events(), std::vector<std::string>{"error:Message too long"});
}

TEST_F(ClientOpening, SendsBeforeOpenAreHeldAndFollowedBySendsFromTheOpenHandler) {
    events.afterOpen = [this] { client->send({'c'}, true, 0); };
    client = std::make_unique<WebSocketClient>(peer.url(), std::vector<std::string>{},
                                               events.handlers());
    client->send({'a'}, true, 0);
    client->ping({'b'});
    ASSERT_TRUE(peer.accept());
    request = peer.readRequest();
    EXPECT_TRUE(peer.pending().empty());
    ASSERT_TRUE(peer.send(switchingProtocols(request)));
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x1);
    EXPECT_EQ(frame.payload, std::vector<uint8_t>{'a'});
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x9);
    EXPECT_EQ(frame.payload, std::vector<uint8_t>{'b'});
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x1);
    EXPECT_EQ(frame.payload, std::vector<uint8_t>{'c'});
}

TEST_F(ClientOpening, TwoClientsForOneUrlSendDifferentKeys) {
    connect();
    const std::string firstKey = requestKey(request);
    WebSocketClient second(peer.url(), {});
    ScriptedPeer& samePeer = peer;
    samePeer.closeConnection();
    ASSERT_TRUE(samePeer.accept());
    const std::string secondKey = requestKey(samePeer.readRequest());
    EXPECT_EQ(secondKey.size(), 24u);
    EXPECT_NE(firstKey, secondKey);
}

TEST_F(ClientOpening, ResponseArrivingByteByByteOpensOnceTheEmptyLineIsComplete) {
    connect();
    const std::string response = switchingProtocols(request) + frameBytes(true, 0x1, "x");
    for (char c : response) {
        ASSERT_TRUE(peer.send(&c, 1));
    }
    ASSERT_TRUE(events.waitFor("text:x"));
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "text:x"}));
}
