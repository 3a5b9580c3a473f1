// The server over real sockets: the exact handshake it answers, its registry, hostile and
// failing clients, TLS, its lifetime, and our own clients talking to it from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Support.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

namespace {

using namespace tidewire_test;
using namespace relaymatrix::extensions::tidewire;

const std::string sessionLog = "[WebSocketServer][WebSocketSession] ";
const std::string upgrade =
    "GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: chat\r\n"
    "Sec-WebSocket-Version: 13\r\n\r\n";

// A started server whose sessions record their events (all into one recorder) and echo.
struct EchoServer {
    explicit EchoServer(bool tls = false)
        : server(tls ? WebSocketServer(0, Certificates::get().cert, Certificates::get().key)
                     : WebSocketServer(0)) {
        server.onNewSession([this](WebSocketSession& session) {
            record(session, events);
            session.onMessageHandler = [recorded = session.onMessageHandler, &session](
                                           const Bytes& bytes, bool isText) {
                recorded(bytes, isText);
                session.send(bytes, isText, 0);
            };
        });
        server.start();
    }
    LogRecorder logs;
    Recorder events;
    WebSocketServer server;
};

TEST(Server, AnswersTheHandshakeEchoesAndClosesInOrder) {
    EchoServer s;
    auto peer = Peer::connect(s.server.boundPort());
    for (char byte : upgrade)
        peer->write(std::string(1, byte));  // dripped: any split is fine
    EXPECT_EQ(peer->readHeader(),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
              "Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    ASSERT_TRUE(s.events.waitFor("open"));
    ASSERT_NE(s.server.getSession(0), nullptr);
    s.server.getSession(0)->ping(bytesOf("p"));
    peer->write(frame(1, bytesOf("hi"), true));
    std::vector<bool> masks;
    EXPECT_EQ(peer->readFrames(2, &masks), (std::vector<std::string>{"9:p", "1:hi"}));
    EXPECT_EQ(masks, (std::vector<bool>{false, false}));
    peer->write(frame(8, {0x03, 0xE8}, true));
    EXPECT_EQ(peer->readFrames(1), std::vector<std::string>{"8:\x03\xE8"});
    peer->waitForClose();
    ASSERT_TRUE(
        s.logs.waitFor("debug [WebSocketServer] Session disconnected and removed - session ID: 0"));
    EXPECT_EQ(s.events.all(), (std::vector<std::string>{"open", "text:hi", "close"}));
    EXPECT_EQ(s.server.getSession(0), nullptr);
    for (const std::string& line : {"trace " + sessionLog + "Requested protocols: chat",
                                    "debug " + sessionLog + "Handshake successful",
                                    "info " + sessionLog + "Client disconnected: 127.0.0.1:",
                                    std::string("info [WebSocketServer] Accept: 127.0.0.1:")}) {
        EXPECT_TRUE(s.logs.waitFor(line, true)) << line;
    }
}

TEST(Server, RegistryIdsAndCallbacksThatUseIt) {
    LogRecorder logs;
    Recorder events;  // outlives the server, whose sessions still report while it stops
    auto owned = std::make_unique<WebSocketServer>(0);
    WebSocketServer& server = *owned;
    std::atomic<unsigned> seen{0};
    server.onNewSession([&](WebSocketSession& session) {
        const unsigned id = seen++;
        EXPECT_EQ(server.getSession(id).get(), &session);  // callable from here: no deadlock
        record(session, events);
        if (id == 1)
            throw std::runtime_error("boom");
    });
    server.setMaxMessageSize(3);
    server.start();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(Peer::connect(server.boundPort()));
        peers.back()->write(upgrade);
        peers.back()->readHeader();
    }
    ASSERT_TRUE(events.waitForCount(3));
    EXPECT_TRUE(logs.waitFor("error [WebSocketServer] New-session handler exception: boom"));
    for (unsigned id = 0; id < 3; ++id)
        EXPECT_NE(server.getSession(id), nullptr);
    server.removeSession(1);
    server.removeSession(7);
    EXPECT_EQ(server.getSession(1), nullptr);
    EXPECT_EQ(
        logs.count("debug [WebSocketServer] Session disconnected and removed - session ID: 7"), 1u);
    peers[2]->write(frame(2, bytesOf("four"), true));  // over the bound set before start
    EXPECT_EQ(peers[2]->readFrames(1), std::vector<std::string>{"8:\x03\xF1"});
    EXPECT_TRUE(events.waitFor("error:Message too big"));
    // A session the host holds stays safe once the server is gone; its calls do nothing.
    EXPECT_THROW(WebSocketServer(server.boundPort()), std::system_error);
    const std::shared_ptr<WebSocketSession> held = server.getSession(0);
    owned.reset();
    held->send(bytesOf("nobody"), true, 0);
    held->close({});
    EXPECT_THROW(WebSocketServer(0, "/nonexistent.pem", "/nonexistent.key"), std::system_error);
}

TEST(Server, HostileAndFailingClients) {
    struct Row {
        std::string name;
        Bytes bytes;
        bool reset;
        std::string error, logLine;
        bool tls = false;
    };
    const Row rows[] = {
        {"endless header", bytesOf("GET / HTTP/1.1\r\n" + std::string(20000, 'a')), false,
         "Handshake error", "Error: Handshake error - Message too long"},
        {"leaves mid-request", bytesOf("GET / HTTP/1.1\r\n"), false, "Handshake error",
         "Error: Handshake error - End of file"},
        {"resets mid-frame", bytesOf(upgrade + "\x81\x85"), true, "Read error",
         "Error: Read error - Connection reset by peer"},
        {"stray continuation", bytesOf(upgrade + textOf(frame(0, bytesOf("x"), true, false))),
         false, "Unexpected frame", ""},
        {"plain client on a TLS port", bytesOf(upgrade), false, "SSL handshake failed",
         "Error: SSL handshake failed - ", true},
    };
    for (const Row& row : rows) {
        EchoServer s(row.tls);
        auto peer = Peer::connect(s.server.boundPort());
        peer->write(row.bytes);
        if (row.reset) {
            ASSERT_TRUE(s.events.waitFor("open"));
            peer->reset();
        } else {
            peer->finish();
        }
        EXPECT_TRUE(s.events.waitFor("error:" + row.error)) << row.name;
        EXPECT_TRUE(s.logs.waitFor("error " + sessionLog + row.logLine, true)) << row.name;
        EXPECT_TRUE(s.logs.waitFor(
            "debug [WebSocketServer] Session disconnected and removed - session ID: 0"));
    }
}

// Our clients against our server, each sending from three host threads at once: every
// message arrives whole, each thread's in its order, and every session ends and is removed.
TEST(Server, ManyClientsManyThreads) {
    EchoServer s;
    const std::vector<size_t> sizes = {1, 125, 126, 65535, 65536, 1 << 20};
    std::vector<Recorder> events(8);
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    std::vector<std::thread> senders;
    for (Recorder& e : events) {
        WebSocketClient::Handlers h;
        h.onClose = [&e] { e.add("close"); };
        h.onMessage = [&e](const Bytes& b, bool isText) {
            const bool uniform =
                std::count(b.begin(), b.end(), b[0]) == static_cast<long>(b.size());
            e.add(std::to_string(uniform ? b[0] : 0) + (isText ? "t" : "b") +
                  std::to_string(b.size()));
        };
        clients.push_back(std::make_unique<WebSocketClient>(
            "ws://127.0.0.1:" + std::to_string(s.server.boundPort()), std::vector<std::string>{},
            h));
        for (uint8_t t = 1; t <= 3; ++t) {
            senders.emplace_back([client = clients.back().get(), &sizes, t] {
                for (size_t n : sizes)
                    client->send(Bytes(n, t), t == 1, 4096);
            });
        }
    }
    for (auto& thread : senders)
        thread.join();
    std::vector<std::string> expected;
    for (int t = 1; t <= 3; ++t) {
        for (size_t n : sizes)
            expected.push_back(std::to_string(t) + (t == 1 ? "t" : "b") + std::to_string(n));
    }
    expected.push_back("close");
    for (size_t i = 0; i < events.size(); ++i) {
        ASSERT_TRUE(events[i].waitForCount(expected.size() - 1));
        clients[i]->close({0x03, 0xE8});
        ASSERT_TRUE(events[i].waitFor("close"));
        std::vector<std::string> got = events[i].all();
        std::stable_sort(got.begin(), got.end() - 1, [](auto& a, auto& b) { return a[0] < b[0]; });
        EXPECT_EQ(got, expected);
    }
    EXPECT_TRUE(s.logs.waitFor([&](auto& v) {
        return std::count_if(v.begin(), v.end(), [](auto& l) {
                   return l.rfind("debug [WebSocketServer] Session disconnected", 0) == 0;
               }) == 8;
    }));
}

}  // namespace
