// Hostile servers against our client: connections reset (RST) in the TLS handshake, in the
// opening response and inside frames, frames dripping one byte at a time, a server that never
// reads while the host keeps sending, and connections dropped at every stage in a tight loop.
// Each case checks the client's handler sequence and log lines, and that its thread winds
// down.
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
#include "ScriptedPeer.h"
#include "SessionEvents.h"
#include "TestCertificates.h"
#include "tidewire/WebSocketClient.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;

namespace {

const std::string tag = "[WebSocketClient] ";

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// An unmasked server frame header declaring `length` payload bytes in the 64-bit form.
std::string declaredLength(uint64_t length) {
    std::string header = "\x82\x7F";
    for (int i = 7; i >= 0; --i) {
        header += static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return header;
}

// Message `index` of a flood: its index in the first 4 bytes, then a byte derived from it.
std::vector<uint8_t> floodMessage(uint32_t index, size_t size) {
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(index * 7 + 1));
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(index >> (8 * i));
    }
    return bytes;
}

struct PeerTlsContext {
    SSL_CTX* context = nullptr;
    explicit PeerTlsContext(bool tls) {
        if (tls) {
            const TestCertificates& certificates = TestCertificates::get();
            context = makePeerTlsContext(certificates.serverCertFile, certificates.serverKeyFile);
            TestCertificates::trustTestCa();
        }
    }
    ~PeerTlsContext() { SSL_CTX_free(context); }
};

// One scripted peer, plain or TLS (with a certificate the client trusts), that clients
// connect to one after the other. Each client is destroyed before what its handlers use.
class ClientFault : public ::testing::TestWithParam<bool> {
protected:
    ClientFault() { ignoreBrokenPipe(); }

    std::unique_ptr<WebSocketClient> connect(SessionEvents& events) {
        return std::make_unique<WebSocketClient>(peer.url("/", GetParam() ? "wss" : "ws"),
                                                 std::vector<std::string>{}, events.handlers());
    }

    // Connects a client, answers its handshake with `afterResponse` in the same write and
    // waits for the open event.
    std::unique_ptr<WebSocketClient> open(SessionEvents& events,
                                          const std::string& afterResponse = "") {
        std::unique_ptr<WebSocketClient> client = connect(events);
        EXPECT_TRUE(peer.accept());
        const std::string request = peer.readRequest();
        EXPECT_FALSE(request.empty());
        EXPECT_TRUE(peer.send(switchingProtocols(request) + afterResponse));
        EXPECT_TRUE(events.waitFor("open"));
        return client;
    }

    LogRecorder log;
    PeerTlsContext tls{GetParam()};
    ScriptedPeer peer{tls.context, std::chrono::seconds(60)};
};

std::string plainOrTls(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Tls" : "Plain";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ClientFault, ::testing::Values(false, true), plainOrTls);

}  // namespace

// A plain peer behind a wss URL answers the ClientHello with the start of a record, then
// resets: the client is halfway through its TLS handshake.
TEST(ClientTlsFault, ResetHalfwayThroughTheTlsHandshakeIsAnSslHandshakeError) {
    ignoreBrokenPipe();
    LogRecorder log;
    SessionEvents events;
    ScriptedPeer peer;
    auto client = std::make_unique<WebSocketClient>(peer.url("/", "wss"),
                                                    std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readExactly(1), "\x16");  // a handshake record: the ClientHello
    ASSERT_TRUE(peer.send(std::string("\x16\x03\x03\x00\x40\x02\x00\x00\x3C\x03\x03", 11)));
    peer.resetConnection();
    ASSERT_TRUE(events.waitFor("error:Connection reset by peer"));
    client.reset();
    EXPECT_EQ(events.events(), std::vector<std::string>{"error:Connection reset by peer"});
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{tag + "SSL handshake error: Connection reset by peer"});
    EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u);
}

TEST_P(ClientFault, ResetDuringTheOpeningResponseIsAResponseError) {
    SessionEvents events;
    std::unique_ptr<WebSocketClient> client = connect(events);
    ASSERT_TRUE(peer.accept());
    ASSERT_FALSE(peer.readRequest().empty());
    ASSERT_TRUE(peer.send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: webs"));
    peer.resetConnection();
    ASSERT_TRUE(events.waitFor("error:Connection reset by peer"));
    client.reset();
    EXPECT_EQ(events.events(), std::vector<std::string>{"error:Connection reset by peer"});
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{tag + "Handshake response error: Connection reset by peer"});
    EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u);
}

TEST_P(ClientFault, ResetInsideAFrameIsAReadErrorWhereverItFalls) {
    struct Case {
        const char* name;
        std::string partial;
    };
    const std::string small = frameBytes(true, 0x2, std::string(100, 'p'));
    const std::string large = frameBytes(true, 0x2, std::string(1 << 20, 'q'));
    const Case cases[] = {
        {"one byte of the header", "\x82"},
        {"half of a 16-bit length", std::string("\x82\x7E\x01", 3)},
        {"half of a 64-bit length", std::string("\x82\x7F\x00\x00\x00\x00", 6)},
        {"half of the masking key of a masked frame", std::string("\x81\x85\x01\x02", 4)},
        {"half of a small payload", small.substr(0, small.size() / 2)},
        {"part of a payload larger than the receive buffer", large.substr(0, 40 * 1024)},
        {"a few bytes of a payload declared at the message bound",
         declaredLength(100u << 20) + "abc"},
    };
    for (const Case& c : cases) {
        log.clear();
        SessionEvents events;
        std::unique_ptr<WebSocketClient> client = open(events, frameBytes(true, 0x1, "hello"));
        ASSERT_TRUE(events.waitFor("text:hello")) << c.name;
        ASSERT_TRUE(peer.send(c.partial)) << c.name;
        peer.resetConnection();
        ASSERT_TRUE(events.waitFor("error:Read error")) << c.name;
        client.reset();
        EXPECT_EQ(events.events(),
                  (std::vector<std::string>{"open", "text:hello", "error:Read error"}))
            << c.name;
        EXPECT_EQ(log.texts(LogLevel::error),
                  std::vector<std::string>{tag + "Error: Read error - Connection reset by peer"})
            << c.name;
        EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u) << c.name;
    }
}

// Every byte of the response and of the frames goes out on its own (under TLS in a record of
// its own): the client must put the pieces together exactly as if they came at once.
TEST_P(ClientFault, BytesDrippingOneAtATimeMakeTheSameConversation) {
    SessionEvents events;
    std::unique_ptr<WebSocketClient> client = connect(events);
    ASSERT_TRUE(peer.accept());
    const std::string request = peer.readRequest();
    const std::string binary(300, 'b');  // a 16-bit length
    const std::string script = switchingProtocols(request) + frameBytes(false, 0x1, "hel") +
                               frameBytes(true, 0x9, "p") + frameBytes(true, 0x0, "lo") +
                               frameBytes(true, 0x2, binary) + frameBytes(true, 0x8, "\x03\xE8");
    for (const char byte : script) {
        ASSERT_TRUE(peer.send(&byte, 1));
    }
    PeerFrame pong;
    ASSERT_TRUE(peer.readFrame(pong));
    EXPECT_EQ(pong.opcode, 0xA);
    EXPECT_TRUE(pong.masked);
    EXPECT_EQ(pong.payload, bytesOf("p"));
    PeerFrame echo;
    ASSERT_TRUE(peer.readFrame(echo));
    EXPECT_EQ(echo.opcode, 0x8);
    EXPECT_EQ(echo.payload, bytesOf("\x03\xE8"));
    EXPECT_TRUE(peer.waitForEndOfStream());
    ASSERT_TRUE(events.waitFor("close"));
    client.reset();
    EXPECT_EQ(events.events(),
              (std::vector<std::string>{"open", "text:hello", "binary:" + binary, "close"}));
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

// The host keeps sending to a server that never reads. Everything handed over waits in the
// client's write queue (the figure is printed); once the server reads, every message arrives
// whole and in order. A second flood ends with the server resetting the connection instead:
// the write and the pending read both fail and the client winds down.
TEST_P(ClientFault, ServerThatNeverReadsWhileTheHostKeepsSending) {
    constexpr size_t messageBytes = 1 << 20;
    constexpr uint32_t messages = sanitizedBuild ? 16 : 64;
    SessionEvents events;
    std::unique_ptr<WebSocketClient> client = open(events);

    const long before = residentBytes();
    for (uint32_t m = 0; m < messages; ++m) {
        client->send(floodMessage(m, messageBytes), false, 0);
    }
    // The marker's read completes on the worker after the posted sends have been queued.
    ASSERT_TRUE(peer.send(frameBytes(true, 0x1, "marker")));
    ASSERT_TRUE(events.waitFor("text:marker"));
    const long queued = residentBytes() - before;
    std::cout << "[ queue    ] " << (GetParam() ? "TLS" : "plain") << " client, "
              << messages * messageBytes / (1 << 20)
              << " MiB handed over to a server that never reads: resident memory grew by "
              << queued / (1 << 20) << " MiB\n";
    RecordProperty("queued_resident_kib", static_cast<int>(queued / 1024));

    for (uint32_t m = 0; m < messages; ++m) {
        PeerFrame frame;
        ASSERT_TRUE(peer.readFrame(frame)) << m;
        ASSERT_EQ(frame.opcode, 0x2) << m;
        ASSERT_TRUE(frame.masked) << m;
        ASSERT_TRUE(frame.payload == floodMessage(m, messageBytes)) << m;
    }

    // Enough to fill the socket buffers and leave a write pending when the reset comes.
    for (uint32_t m = 0; m < 16; ++m) {
        client->send(floodMessage(m, messageBytes), false, 0);
    }
    ASSERT_TRUE(peer.send(frameBytes(true, 0x1, "second marker")));
    ASSERT_TRUE(events.waitFor("text:second marker"));
    peer.resetConnection();
    ASSERT_TRUE(events.waitForCount(5));
    client.reset();
    std::vector<std::string> ending = events.events();
    ASSERT_EQ(ending.size(), 5u);
    std::sort(ending.begin() + 3, ending.end());
    EXPECT_EQ(ending, (std::vector<std::string>{"open", "text:marker", "text:second marker",
                                                "error:Read error", "error:Send error"}));
    std::cout << "[ queue    ] after the client was destroyed, resident memory is "
              << (residentBytes() - before) / (1 << 20) << " MiB above the start\n";
}

// Servers that drop the connection at every stage, one client after the other: right after
// accepting, or after reading the request (FIN or RST), or right after the 101. Each client
// reports exactly one failure, never a close, and its worker thread ends with it.
TEST_P(ClientFault, ConnectionsDroppedAtEveryStageInATightLoop) {
    const int iterations = GetParam() ? 60 : 100;
    int threadsBefore = 0;
    for (int i = 0; i < iterations; ++i) {
        if (i == 1) {
            // Counted after a first client, so threads a runtime starts once are not counted.
            threadsBefore = threadCount();
        }
        log.clear();
        SessionEvents events;
        std::unique_ptr<WebSocketClient> client = connect(events);
        ASSERT_TRUE(peer.accept()) << i;
        const int stage = i % 4;
        const std::string request = stage == 0 ? std::string() : peer.readRequest();
        ASSERT_TRUE(stage == 0 || !request.empty()) << i;
        if (stage == 1) {
            peer.closeConnection();
        } else if (stage == 3) {
            ASSERT_TRUE(peer.send(switchingProtocols(request)));
            ASSERT_TRUE(events.waitFor("open")) << i;
            peer.resetConnection();
        } else {
            peer.resetConnection();
        }
        ASSERT_TRUE(events.waitForCount(stage == 3 ? 2 : 1)) << i;
        client.reset();

        const std::vector<std::string> seen = events.events();
        const std::vector<std::string> errors = log.texts(LogLevel::error);
        ASSERT_EQ(errors.size(), 1u) << i << ": " << ::testing::PrintToString(errors);
        if (stage == 3) {
            EXPECT_EQ(seen, (std::vector<std::string>{"open", "error:Read error"})) << i;
            EXPECT_EQ(errors[0], tag + "Error: Read error - Connection reset by peer") << i;
            EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u) << i;
            continue;
        }
        ASSERT_EQ(seen.size(), 1u) << i << ": " << ::testing::PrintToString(seen);
        const std::string text = seen[0].substr(std::string("error:").size());
        if (stage == 0 && errors[0] == tag + "Connect error: " + text) {
            // The reset came before the connect completed: a failed connect, nothing to close.
            EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 0u) << i;
            continue;
        }
        EXPECT_EQ(log.count(LogLevel::debug, tag + "Connection closed"), 1u) << i;
        if (stage == 0) {
            // The reset may meet the request's write or the response's read.
            EXPECT_TRUE(errors[0] == tag + "Handshake request error: " + text ||
                        errors[0] == tag + "Handshake response error: " + text)
                << i << ": " << errors[0];
        } else {
            EXPECT_EQ(errors[0], tag + "Handshake response error: " + text) << i;
        }
        if (stage == 2) {
            EXPECT_EQ(text, "Connection reset by peer") << i;
        }
        if (stage == 1 && !GetParam()) {
            EXPECT_EQ(text, "End of file") << i;
        }
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}
