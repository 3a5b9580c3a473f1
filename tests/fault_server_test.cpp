// Hostile clients against our server: connections reset (RST) at every stage, bytes dripping
// one at a time, endless headers, a client that never reads while the host keeps sending or
// while it floods pings, and connections opened and dropped in a tight loop. Each case checks the
// session's handler sequence, that the session is removed, and that the server goes on serving
// others.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "HostilePeers.h"
#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "tidewire/Handshake.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::generateAcceptKey;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

const std::string sessionTag = "[WebSocketServer][WebSocketSession] ";
const std::string removedPrefix =
    "[WebSocketServer] Session disconnected and removed - session ID: ";
constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string responseFor(const std::string& key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           generateAcceptKey(key) + "\r\n\r\n";
}

// A masked client frame header declaring `length` payload bytes in the 64-bit form, with its
// masking key.
std::string declaredLength(uint64_t length) {
    std::string header = "\x82\xFF";
    for (int i = 7; i >= 0; --i) {
        header += static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return header + "\x01\x02\x03\x04";
}

// Message `index` of a flood: its index in the first 4 bytes, then a byte derived from it.
std::vector<uint8_t> floodMessage(uint32_t index, size_t size) {
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(index * 7 + 1));
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(index >> (8 * i));
    }
    return bytes;
}

struct TlsClientContext {
    SSL_CTX* context = makeRawClientTlsContext();
    ~TlsClientContext() { SSL_CTX_free(context); }
};

// Every session echoes each message, whole, as it came.
void echoMessages(WebSocketSession& session, SessionEvents& events, unsigned int) {
    events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
        session.send(bytes, isText, 0);
    };
}

// A plain or TLS server whose sessions echo; the log recorder outlives it.
class ServerFault : public ::testing::TestWithParam<bool> {
protected:
    ServerFault() { ignoreBrokenPipe(); }

    std::unique_ptr<RawClient> connect(
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return std::make_unique<RawClient>(server.port(), GetParam() ? tls.context : nullptr,
                                           timeout);
    }

    // The opening handshake with the sample key, checked byte for byte.
    static void open(RawClient& client) {
        ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
        ASSERT_EQ(client.readHeaderBlock(), responseFor(sampleKey));
    }

    static void expectEcho(RawClient& client, const std::string& text) {
        ASSERT_TRUE(client.send(clientFrame(true, 0x1, text)));
        PeerFrame frame;
        ASSERT_TRUE(client.readFrame(frame)) << text;
        EXPECT_EQ(frame.opcode, 0x1);
        EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.end()), text);
    }

    // A client that arrives now is served: its message is echoed and its close answered.
    void expectServing() {
        std::unique_ptr<RawClient> client = connect();
        open(*client);
        expectEcho(*client, "still serving");
        ASSERT_TRUE(client->send(clientFrame(true, 0x8, "\x03\xE8")));
        EXPECT_EQ(client->readExactly(4), "\x88\x02\x03\xE8");
        EXPECT_TRUE(client->waitForEndOfStream());
    }

    size_t removals() const { return log.countPrefix(LogLevel::debug, removedPrefix); }

    bool waitForRemovals(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) const {
        return log.waitFor(
            [&](const std::vector<LogLine>& lines) {
                return static_cast<size_t>(
                           std::count_if(lines.begin(), lines.end(), [](const LogLine& line) {
                               return line.text.rfind(removedPrefix, 0) == 0;
                           })) >= count;
            },
            timeout);
    }

    LogRecorder log;
    TlsClientContext tls;
    ServerHarness server{GetParam(), echoMessages};
};

std::string plainOrTls(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Tls" : "Plain";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ServerFault, ::testing::Values(false, true), plainOrTls);

using ServerTlsFault = ServerFault;
INSTANTIATE_TEST_SUITE_P(Tls, ServerTlsFault, ::testing::Values(true), plainOrTls);

}  // namespace

TEST_P(ServerFault, ResetDuringTheOpeningRequestIsAHandshakeError) {
    std::unique_ptr<RawClient> client = connect();
    ASSERT_TRUE(client->send("GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: webs"));
    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    client->closeAbruptly(true);
    ASSERT_TRUE(events->waitFor("error:Handshake error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedPrefix + "0"));
    EXPECT_EQ(events->events(), std::vector<std::string>{"error:Handshake error"});
    EXPECT_EQ(
        log.texts(LogLevel::error),
        std::vector<std::string>{sessionTag + "Error: Handshake error - Connection reset by peer"});
    EXPECT_EQ(server->getSession(0), nullptr);
    expectServing();
}

TEST_P(ServerTlsFault, ResetHalfwayThroughTheTlsHandshakeFailsIt) {
    ASSERT_TRUE(resetHalfwayThroughTls(server.port(), tls.context));
    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(events->waitFor("error:SSL handshake failed"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedPrefix + "0"));
    EXPECT_EQ(events->events(), std::vector<std::string>{"error:SSL handshake failed"});
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{sessionTag +
                                       "Error: SSL handshake failed - Connection reset by peer"});
    expectServing();
}

TEST_P(ServerFault, ResetInsideAFrameIsAReadErrorWhereverItFalls) {
    struct Case {
        const char* name;
        std::string partial;
    };
    const std::string small = clientFrame(true, 0x2, std::string(100, 'p'));
    const std::string large = clientFrame(true, 0x2, std::string(1 << 20, 'q'));
    const Case cases[] = {
        {"one byte of the header", "\x82"},
        {"half of a 16-bit length", std::string("\x82\xFE\x01", 3)},
        {"half of a 64-bit length", std::string("\x82\xFF\x00\x00\x00\x00", 6)},
        {"half of the masking key", std::string("\x81\x85\x01\x02", 4)},
        {"half of a small payload", small.substr(0, small.size() / 2)},
        {"part of a payload larger than the receive buffer", large.substr(0, 40 * 1024)},
        {"a few bytes of a payload declared at the message bound",
         declaredLength(100u << 20) + "abc"},
    };
    unsigned int id = 0;
    for (const Case& c : cases) {
        std::unique_ptr<RawClient> client = connect();
        open(*client);
        expectEcho(*client, "hello");
        ASSERT_TRUE(client->send(c.partial)) << c.name;
        client->closeAbruptly(true);
        SessionEvents* events = server.session(id);
        ASSERT_NE(events, nullptr) << c.name;
        ASSERT_TRUE(events->waitFor("error:Read error")) << c.name;
        ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedPrefix + std::to_string(id))) << c.name;
        EXPECT_EQ(events->events(),
                  (std::vector<std::string>{"open", "text:hello", "error:Read error"}))
            << c.name;
        EXPECT_EQ(server->getSession(id), nullptr) << c.name;
        ++id;
    }
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>(
                  std::size(cases), sessionTag + "Error: Read error - Connection reset by peer"));
    expectServing();
}

// Every byte of the request and of the frames goes out on its own (under TLS in a record of
// its own): the server must put the pieces together exactly as if they came at once.
TEST_P(ServerFault, BytesDrippingOneAtATimeMakeTheSameConversation) {
    const std::string binary(300, 'b');  // a 16-bit length
    const std::string script = upgradeRequest(sampleKey) + clientFrame(false, 0x1, "hel") +
                               clientFrame(true, 0x9, "p") + clientFrame(true, 0x0, "lo") +
                               clientFrame(true, 0x2, binary) + clientFrame(true, 0x8, "\x03\xE8");
    std::unique_ptr<RawClient> client = connect();
    for (const char byte : script) {
        ASSERT_TRUE(client->send(&byte, 1));
    }
    EXPECT_EQ(client->readHeaderBlock(), responseFor(sampleKey));
    const std::string answers = frameBytes(true, 0xA, "p") + frameBytes(true, 0x1, "hello") +
                                frameBytes(true, 0x2, binary) + frameBytes(true, 0x8, "\x03\xE8");
    EXPECT_EQ(client->readExactly(answers.size()), answers);
    EXPECT_TRUE(client->waitForEndOfStream());
    EXPECT_TRUE(client->pending().empty());
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("close"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedPrefix + "0"));
    EXPECT_EQ(events->events(),
              (std::vector<std::string>{"open", "text:hello", "binary:" + binary, "close"}));
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
    expectServing();
}

// Header lines that never end the block, pushed as fast as the server takes them: the server
// cuts the connection at its header cap instead of buffering on.
TEST_P(ServerFault, EndlessHeaderLinesAreCutAtTheCap) {
    std::unique_ptr<RawClient> client = connect();
    ASSERT_TRUE(client->send("GET / HTTP/1.1\r\n"));
    std::string lines;
    for (int i = 0; i < 256; ++i) {
        lines += "X-Endless-" + std::to_string(i) + ": 0123456789abcdef\r\n";
    }
    size_t sent = 0;
    bool cut = false;
    while (!cut && sent < (64u << 20)) {
        cut = !client->send(lines);
        sent += lines.size();
    }
    EXPECT_TRUE(cut) << "the server took " << sent << " header bytes";
    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(events->waitFor("error:Handshake error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedPrefix + "0"));
    EXPECT_EQ(events->events(), std::vector<std::string>{"error:Handshake error"});
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{sessionTag + "Error: Handshake error - Message too long"});
    expectServing();
}

// The host keeps sending to a client that never reads. Everything handed over waits in the
// session's write queue (the figure is printed); once the client reads, every message arrives
// whole and in order. A second flood ends with the client resetting the connection instead:
// the write and the pending read both fail and the session is removed (the memory still held
// afterwards is printed).
// Meanwhile another client is served as usual.
TEST_P(ServerFault, ClientThatNeverReadsWhileTheHostKeepsSending) {
    constexpr size_t messageBytes = 1 << 20;
    constexpr uint32_t messages = sanitizedBuild ? 16 : 64;
    std::unique_ptr<RawClient> slow = connect(std::chrono::seconds(60));
    open(*slow);
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("open"));
    std::shared_ptr<WebSocketSession> session = server->getSession(0);
    ASSERT_NE(session, nullptr);
    std::unique_ptr<RawClient> bystander = connect();
    open(*bystander);

    const long before = residentBytes();
    for (uint32_t m = 0; m < messages; ++m) {
        session->send(floodMessage(m, messageBytes), false, 0);
    }
    // The marker's read completes on the worker after the posted sends have been queued.
    ASSERT_TRUE(slow->send(clientFrame(true, 0x1, "marker")));
    ASSERT_TRUE(events->waitFor("text:marker"));
    const long queued = residentBytes() - before;
    std::cout << "[ queue    ] " << (GetParam() ? "TLS" : "plain") << " session, "
              << messages * messageBytes / (1 << 20)
              << " MiB handed over to a client that never reads: resident memory grew by "
              << queued / (1 << 20) << " MiB\n";
    RecordProperty("queued_resident_kib", static_cast<int>(queued / 1024));
    expectEcho(*bystander, "others are served meanwhile");

    for (uint32_t m = 0; m < messages; ++m) {
        PeerFrame frame;
        ASSERT_TRUE(slow->readFrame(frame)) << m;
        ASSERT_EQ(frame.opcode, 0x2) << m;
        ASSERT_TRUE(frame.payload == floodMessage(m, messageBytes)) << m;
    }
    PeerFrame frame;
    ASSERT_TRUE(slow->readFrame(frame));
    EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.end()), "marker");

    // Enough to fill the socket buffers and leave a write pending when the reset comes.
    for (uint32_t m = 0; m < 16; ++m) {
        session->send(floodMessage(m, messageBytes), false, 0);
    }
    slow->closeAbruptly(true);
    ASSERT_TRUE(events->waitForCount(4));
    ASSERT_TRUE(waitForRemovals(1));
    std::vector<std::string> ending = events->events();
    ASSERT_EQ(ending.size(), 4u);
    EXPECT_EQ(ending[1], "text:marker");
    std::sort(ending.begin() + 2, ending.end());
    EXPECT_EQ(ending, (std::vector<std::string>{"open", "text:marker", "error:Read error",
                                                "error:Send error"}));
    EXPECT_EQ(server->getSession(0), nullptr);
    session.reset();
    std::cout << "[ queue    ] after the session ended, resident memory is "
              << (residentBytes() - before) / (1 << 20) << " MiB above the start\n";

    expectEcho(*bystander, "and afterwards");
    expectServing();
}

// A client that sends pings but never reads what comes back. Pongs are queued only while
// the peer keeps up; once a megabyte waits unsent, its pings go unanswered, so memory stays
// bounded however long the flood goes on (the figure is printed). When the client reads
// again, the pongs that were queued arrive intact, and the conversation goes on.
TEST_P(ServerFault, PingFloodFromAClientThatNeverReadsIsNotAnsweredWithoutBound) {
    constexpr size_t pingBytes = 1 << 20;
    const size_t pings = sanitizedBuild ? 16 : 64;
    std::unique_ptr<RawClient> flooder = connect(std::chrono::seconds(60));
    flooder->limitReceiveBuffer(64 * 1024);
    open(*flooder);
    SessionEvents* events = server.session(0);
    ASSERT_TRUE(events->waitFor("open"));
    const std::string payload(pingBytes, 'p');
    const std::string ping = clientFrame(true, 0x9, payload);

    const long before = residentBytes();
    for (size_t i = 0; i < pings; ++i) {
        ASSERT_TRUE(flooder->send(ping)) << i;
    }
    // Frames are handled in order: once the marker is in, every ping has been seen.
    ASSERT_TRUE(flooder->send(clientFrame(true, 0x1, "marker")));
    ASSERT_TRUE(events->waitFor("text:marker"));
    const long queued = residentBytes() - before;
    std::cout << "[ queue    ] " << (GetParam() ? "TLS" : "plain") << " session, "
              << pings * pingBytes / (1 << 20)
              << " MiB of pings from a client that never reads: resident memory grew by "
              << queued / (1 << 20) << " MiB\n";
    RecordProperty("queued_resident_kib", static_cast<int>(queued / 1024));
    const size_t answered =
        log.count(LogLevel::debug, sessionTag + "Received ping, sending pong...");
    const size_t unanswered = log.count(
        LogLevel::debug, sessionTag + "Received ping, not answered: the peer is not reading");
    EXPECT_EQ(answered + unanswered, pings);
    EXPECT_GT(unanswered, 0u);
    if (!sanitizedBuild) {
        // The socket buffers, a megabyte of backlog, one pong and the allocator's slack.
        EXPECT_LT(queued, 24L << 20);
    }

    for (size_t i = 0; i < answered; ++i) {
        PeerFrame frame;
        ASSERT_TRUE(flooder->readFrame(frame)) << i;
        ASSERT_EQ(frame.opcode, 0xA) << i;
        ASSERT_EQ(frame.payload.size(), pingBytes) << i;
        ASSERT_TRUE(std::equal(frame.payload.begin(), frame.payload.end(), payload.begin())) << i;
    }
    PeerFrame echo;
    ASSERT_TRUE(flooder->readFrame(echo));
    EXPECT_EQ(std::string(echo.payload.begin(), echo.payload.end()), "marker");
    ASSERT_TRUE(flooder->send(clientFrame(true, 0x9, "caught up")));
    ASSERT_TRUE(flooder->readFrame(echo));
    EXPECT_EQ(echo.opcode, 0xA);
    EXPECT_EQ(std::string(echo.payload.begin(), echo.payload.end()), "caught up");
    expectEcho(*flooder, "after the flood");
    EXPECT_EQ(events->events(),
              (std::vector<std::string>{"open", "text:marker", "text:after the flood"}));
    expectServing();
}

// Connections opened and dropped as fast as the test can, at every stage of the opening
// (FIN or RST before anything, an RST in the middle of the request or of the TLS handshake,
// an RST right after the 101), while one client stays connected throughout.
TEST_P(ServerFault, ConnectionsOpenedAndDroppedInATightLoop) {
    const bool useTls = GetParam();
    const int iterations = useTls ? 250 : 1000;
    std::unique_ptr<RawClient> bystander = connect();
    open(*bystander);
    ASSERT_TRUE(server.session(0)->waitFor("open"));

    for (int i = 0; i < iterations; ++i) {
        switch (i % (useTls ? 5 : 4)) {
            case 0: {
                const int fd = connectLoopback(server.port());
                ASSERT_GE(fd, 0);
                ::close(fd);
                break;
            }
            case 1: {
                const int fd = connectLoopback(server.port());
                ASSERT_GE(fd, 0);
                resetAndClose(fd);
                break;
            }
            case 2: {
                std::unique_ptr<RawClient> client = connect();
                ASSERT_TRUE(client->send("GET / HTTP/1.1\r\nSec-WebSocket-"));
                client->closeAbruptly(true);
                break;
            }
            case 3: {
                std::unique_ptr<RawClient> client = connect();
                open(*client);
                client->closeAbruptly(true);
                break;
            }
            case 4:
                ASSERT_TRUE(resetHalfwayThroughTls(server.port(), tls.context));
                break;
        }
    }
    expectEcho(*bystander, "still here");
    ASSERT_TRUE(bystander->send(clientFrame(true, 0x8, "")));
    EXPECT_TRUE(bystander->waitForEndOfStream());

    // Connections are accepted in arrival order, so once the bystander's session has ended
    // and a newcomer is served, every dropped connection has been seen.
    expectServing();
    const size_t sessions = server.sessionCount();
    ASSERT_TRUE(waitForRemovals(sessions));
    const size_t acceptErrors =
        log.countPrefix(LogLevel::error, "[WebSocketServer] Accept error: ");
    EXPECT_EQ(sessions + acceptErrors, static_cast<size_t>(iterations) + 2);
    EXPECT_EQ(removals(), sessions);

    const std::string failure = useTls ? "error:SSL handshake failed" : "error:Handshake error";
    for (unsigned int id = 1; id + 1 < sessions; ++id) {
        const std::vector<std::string> seen = server.session(id)->events();
        const bool expected = seen == std::vector<std::string>{failure} ||
                              seen == std::vector<std::string>{"error:Handshake error"} ||
                              seen == (std::vector<std::string>{"open", "error:Read error"});
        EXPECT_TRUE(expected) << "session " << id << ": " << ::testing::PrintToString(seen);
        EXPECT_EQ(server->getSession(id), nullptr) << id;
    }
    for (const std::string& line : log.texts(LogLevel::error)) {
        const bool known = line.rfind(sessionTag + "Error: ", 0) == 0 ||
                           line.rfind("[WebSocketServer] Accept error: ", 0) == 0;
        EXPECT_TRUE(known) << line;
    }
}
