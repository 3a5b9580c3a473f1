#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include <string>
#include <vector>

#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "tidewire/Handshake.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::generateAcceptKey;

namespace {

const std::string sessionTag = "[WebSocketServer][WebSocketSession] ";
constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string responseFor(const std::string& key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           generateAcceptKey(key) + "\r\n\r\n";
}

std::string removedLine(unsigned int id) {
    return "[WebSocketServer] Session disconnected and removed - session ID: " + std::to_string(id);
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Runs the opening handshake with the sample key and checks the exact answer.
void openSession(RawClient& client) {
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
    ASSERT_EQ(client.readHeaderBlock(), responseFor(sampleKey));
}

}  // namespace

TEST(ServerOpeningHandshake, SampleKeyGetsTheExact129ByteResponseThenOpen) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
    const std::string response = client.readHeaderBlock();
    EXPECT_EQ(response,
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(response.size(), 129u);

    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(events->waitFor("open"));
    EXPECT_EQ(events->events(), std::vector<std::string>{"open"});
    EXPECT_EQ(log.count(LogLevel::info, "[WebSocketServer] Accept: 127.0.0.1:" +
                                            std::to_string(client.localPort())),
              1u);
    EXPECT_EQ(log.count(LogLevel::debug, sessionTag + "Handshake successful"), 1u);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST(ServerOpeningHandshake, KeyLinesAreFoundAsTheRequestWritesThem) {
    struct Case {
        const char* name;
        std::string request;
        std::string expectedKey;
    };
    const std::string base = "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\n";
    const Case cases[] = {
        {"lower-case header name", base + "sec-websocket-key: " + sampleKey + "\r\n\r\n",
         sampleKey},
        {"two key lines: the second wins",
         base + "Sec-WebSocket-Key: first==\r\nSec-WebSocket-Key: second==\r\n\r\n", "second=="},
        {"no key line", base + "\r\n", ""},
        {"trailing blanks are part of the key",
         base + "Sec-WebSocket-Key: " + sampleKey + "  \r\n\r\n", std::string(sampleKey) + "  "},
        {"a key on the request line is ignored",
         "GET /Sec-WebSocket-Key: x HTTP/1.1\r\nHost: h\r\n\r\n", ""},
    };
    ServerHarness server;
    unsigned int index = 0;
    for (const Case& c : cases) {
        RawClient client(server.port());
        ASSERT_TRUE(client.send(c.request)) << c.name;
        EXPECT_EQ(client.readHeaderBlock(), responseFor(c.expectedKey)) << c.name;
        SessionEvents* events = server.session(index++);
        ASSERT_NE(events, nullptr) << c.name;
        EXPECT_TRUE(events->waitFor("open")) << c.name;
    }
}

TEST(ServerOpeningHandshake, RequestedProtocolsAreLoggedButNotAnswered) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    ASSERT_TRUE(client.send(upgradeRequest(
        sampleKey, "Sec-WebSocket-Protocol: chat, superchat\r\nsec-websocket-protocol: v2\r\n")));
    EXPECT_EQ(client.readHeaderBlock(), responseFor(sampleKey));
    ASSERT_TRUE(server.session(0)->waitFor("open"));
    EXPECT_EQ(log.texts(LogLevel::trace).size() >= 2, true);
    EXPECT_EQ(log.count(LogLevel::trace, sessionTag + "Requested protocols: chat, superchat"), 1u);
    EXPECT_EQ(log.count(LogLevel::trace, sessionTag + "Requested protocols: v2"), 1u);
}

TEST(ServerOpeningHandshake, FirstFrameInTheSameSegmentAsTheRequestIsRead) {
    ServerHarness server;
    RawClient client(server.port());
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey) + clientFrame(true, 0x1, "hi")));
    EXPECT_EQ(client.readHeaderBlock(), responseFor(sampleKey));
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitForCount(2));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "text:hi"}));
}

TEST(ServerOpeningHandshake, HeaderBlockBeyondTheCapFailsAsHandshakeError) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    // A header that never ends: 64 KiB of one header line.
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\nX-Filler: " + std::string(64 * 1024, 'a')));
    EXPECT_TRUE(client.waitForEndOfStream());
    EXPECT_TRUE(client.pending().empty());
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("error:Handshake error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(events->events(), std::vector<std::string>{"error:Handshake error"});
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{sessionTag + "Error: Handshake error - Message too long"});
    EXPECT_EQ(server->getSession(0), nullptr);
}

TEST(ServerOpeningHandshake, ClientLeavingDuringTheRequestIsAHandshakeError) {
    LogRecorder log;
    ServerHarness server;
    {
        RawClient client(server.port());
        ASSERT_TRUE(client.send("GET / HTTP/1.1\r\nHost: h\r\n"));
        SessionEvents* events = server.session(0);
        ASSERT_NE(events, nullptr);
    }
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("error:Handshake error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{sessionTag + "Error: Handshake error - End of file"});
    EXPECT_EQ(events->count("open"), 0u);
}

TEST(ServerFrameReader, MaskedAndUnmaskedDataFramesAreDelivered) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(client.send(clientFrame(true, 0x1, "abc")));         // masked Text of 3 bytes
    ASSERT_TRUE(client.send(clientFrame(true, 0x2, "raw", false)));  // unmasked Binary
    ASSERT_TRUE(client.send(clientFrame(true, 0x1, "", false)));     // empty unmasked Text
    ASSERT_TRUE(client.send(clientFrame(true, 0x0, "x")));           // final Continuation, alone
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitForCount(5));
    EXPECT_EQ(events->events(),
              (std::vector<std::string>{"open", "text:abc", "binary:raw", "text:", "binary:x"}));
    EXPECT_EQ(log.count(LogLevel::debug, sessionTag + "Received message: abc"), 1u);
    EXPECT_EQ(log.count(LogLevel::trace,
                        sessionTag + "Frame parsed successfully: WebSocketFrame{fin=1, opcode=0x1, "
                                     "masked=1, payload length=3, extended payload length bytes=0, "
                                     "payload size=3, frame complete=1}"),
              1u);
}

TEST(ServerFrameReader, FragmentsAreAssembledAcrossPings) {
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(client.send(clientFrame(false, 0x2, "ab") + clientFrame(true, 0x9, "p") +
                            clientFrame(true, 0x0, "cd")));
    ASSERT_TRUE(client.send(clientFrame(false, 0x1, "x") + clientFrame(false, 0x0, "y") +
                            clientFrame(true, 0x0, "z")));
    PeerFrame pong;
    std::string raw;
    ASSERT_TRUE(client.readFrame(pong, &raw));
    EXPECT_EQ(raw, std::string("\x8A\x01p", 3));
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitForCount(3));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "binary:abcd", "text:xyz"}));
}

TEST(ServerFrameReader, EmptyMaskedPingIsAnsweredWithExactlyAnEmptyPong) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(client.send(clientFrame(true, 0x9, "") + clientFrame(true, 0x1, "next")));
    EXPECT_EQ(client.readExactly(2), std::string("\x8A\x00", 2));
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("text:next"));
    EXPECT_EQ(log.count(LogLevel::debug, sessionTag + "Received ping, sending pong..."), 1u);
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, sessionTag + "Send succeeded - opcode: Pong"));
}

TEST(ServerFrameReader, ClientCloseIsEchoedExactlyThenTheSessionIsRemoved) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_NE(server->getSession(0), nullptr);
    ASSERT_TRUE(client.send(clientFrame(true, 0x8, "\x03\xE8")));
    EXPECT_EQ(client.readExactly(4), "\x88\x02\x03\xE8");
    EXPECT_TRUE(client.waitForEndOfStream());
    EXPECT_TRUE(client.pending().empty());
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(log.count(LogLevel::info, sessionTag + "Client disconnected: 127.0.0.1:" +
                                            std::to_string(client.localPort())),
              1u);
    EXPECT_EQ(log.count(LogLevel::debug, sessionTag + "Send succeeded - opcode: Close"), 1u);
    EXPECT_EQ(log.count(LogLevel::debug, removedLine(0)), 1u);
    EXPECT_EQ(server->getSession(0), nullptr);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST(ServerFrameReader, NonFinalContinuationWithNoMessageIsUnexpectedThenReadError) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(client.send(clientFrame(false, 0x0, "?")));
    EXPECT_TRUE(client.waitForEndOfStream());
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitForCount(3));
    EXPECT_EQ(events->events(),
              (std::vector<std::string>{"open", "error:Unexpected frame", "error:Read error"}));
    const std::vector<std::string> errors = log.texts(LogLevel::error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(sessionTag + "Error: Read error - ", 0), 0u);
    // closeSession ran twice: once for the stray fragment, once on the failed read.
    ASSERT_TRUE(log.waitFor([](const std::vector<LogLine>& lines) {
        size_t n = 0;
        for (const LogLine& line : lines) {
            n += line.text == removedLine(0) ? 1 : 0;
        }
        return n == 2;
    }));
}

TEST(ServerFrameReader, ClientDroppingWithoutCloseIsAReadError) {
    LogRecorder log;
    ServerHarness server;
    {
        RawClient client(server.port());
        openSession(client);
        ASSERT_TRUE(server.session(0)->waitFor("open"));
    }
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("error:Read error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "error:Read error"}));
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{sessionTag + "Error: Read error - End of file"});
    EXPECT_EQ(server->getSession(0), nullptr);
}

TEST(ServerSender, FiveBytesInFramesOfTwoGiveThreeUnmaskedFrames) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(server.session(0)->waitFor("open"));
    server->getSession(0)->send(bytesOf("hello"), true, 2);
    EXPECT_EQ(client.readExactly(11), std::string("\x01\x02he\x00\x02ll\x80\x01o", 11));
    ASSERT_TRUE(log.waitFor([](const std::vector<LogLine>& lines) {
        size_t n = 0;
        for (const LogLine& line : lines) {
            n += line.text == sessionTag + "Send succeeded - opcode: Text" ? 1 : 0;
        }
        return n == 3;
    }));

    server->getSession(0)->send(bytesOf("bin"), false, 100);
    EXPECT_EQ(client.readExactly(5),
              "\x82\x03"
              "bin");
    server->getSession(0)->ping(bytesOf("p"));
    EXPECT_EQ(client.readExactly(3), "\x89\x01p");
}

TEST(ServerSender, SessionStartedCloseEndsWhenTheClientAnswers) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    openSession(client);
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("open"));
    server->getSession(0)->close(bytesOf("\x03\xE8"));
    EXPECT_EQ(client.readExactly(4), "\x88\x02\x03\xE8");
    // Nothing ends before the client's answer.
    EXPECT_EQ(events->count("close"), 0u);
    ASSERT_TRUE(client.send(clientFrame(true, 0x8, "\x03\xE8")));
    ASSERT_TRUE(events->waitFor("close"));
    EXPECT_TRUE(client.waitForEndOfStream());
    EXPECT_TRUE(client.pending().empty());  // no second Close
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "close"}));
}

TEST(ServerFrameReader, TooBigFramesAndMessagesFailAfterClose1009) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"one frame over the bound", clientFrame(true, 0x2, std::string(1001, 'a'))},
        {"a declared length near 2^63 with no payload behind it",
         std::string("\x82\xFF\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xF0\x01\x02\x03\x04", 14)},
        {"fragments adding up past the bound", clientFrame(false, 0x1, std::string(600, 'a')) +
                                                   clientFrame(true, 0x0, std::string(600, 'b'))},
    };
    for (const Case& c : cases) {
        LogRecorder log;
        ServerHarness server;
        server->setMaxMessageSize(1000);
        RawClient client(server.port());
        openSession(client);
        ASSERT_TRUE(client.send(c.bytes)) << c.name;
        EXPECT_EQ(client.readExactly(4), "\x88\x02\x03\xF1") << c.name;
        EXPECT_TRUE(client.waitForEndOfStream()) << c.name;
        SessionEvents* events = server.session(0);
        ASSERT_TRUE(events->waitFor("error:Message too big")) << c.name;
        ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0))) << c.name;
        EXPECT_EQ(events->events(), (std::vector<std::string>{"open", "error:Message too big"}))
            << c.name;
        EXPECT_EQ(
            log.texts(LogLevel::error),
            std::vector<std::string>{sessionTag + "Error: Message too big - Message too long"})
            << c.name;
    }
}

TEST(ServerFrameReader, MessageExactlyAtTheBoundIsDelivered) {
    ServerHarness server;
    server->setMaxMessageSize(1000);
    RawClient client(server.port());
    openSession(client);
    ASSERT_TRUE(client.send(clientFrame(false, 0x2, std::string(500, 'a')) +
                            clientFrame(true, 0x0, std::string(500, 'b'))));
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitForCount(2));
    EXPECT_EQ(events->events()[1], "binary:" + std::string(500, 'a') + std::string(500, 'b'));
}

// The reader handles buffered frames in a loop; a burst of a million tiny frames must not
// deepen the stack (nor be lost).
TEST(ServerFrameReader, MillionTinyFramesInOneBurst) {
    constexpr size_t frames = 1000000;
    std::atomic<size_t> delivered{0};
    std::promise<void> allDelivered;
    ServerHarness server(false, [&](ServerHarness::Session& session, SessionEvents&, unsigned) {
        session.onMessageHandler = [&](const std::vector<uint8_t>&, bool) {
            if (delivered.fetch_add(1) + 1 == frames) {
                allDelivered.set_value();
            }
        };
    });
    RawClient client(server.port(), nullptr, std::chrono::seconds(60));
    openSession(client);
    std::string burst;
    burst.reserve(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        burst += std::string("\x82\x00", 2);  // empty unmasked Binary, the smallest frame
    }
    ASSERT_TRUE(client.send(burst));
    ASSERT_EQ(allDelivered.get_future().wait_for(std::chrono::seconds(90)),
              std::future_status::ready);
    EXPECT_EQ(delivered.load(), frames);
}
