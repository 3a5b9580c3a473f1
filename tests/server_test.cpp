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
                     : WebSocketServer(0)) {}
    void start() {
        server.onNewSession([this](WebSocketSession& session) {
            record(session, events);
            session.onMessageHandler = [this, &session](const Bytes& bytes, bool isText) {
                events.add(isText ? "text:" + textOf(bytes)
                                  : "binary:" + std::to_string(bytes.size()));
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
    s.start();
    auto peer = Peer::connect(s.server.boundPort());
    peer->write(upgrade);
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
    EXPECT_TRUE(peer->waitForClose());
    ASSERT_TRUE(
        s.logs.waitFor("debug [WebSocketServer] Session disconnected and removed - session ID: 0"));
    EXPECT_EQ(s.events.all(), (std::vector<std::string>{"open", "text:hi", "close"}));
    EXPECT_EQ(s.server.getSession(0), nullptr);
    for (const std::string& line : {"trace " + sessionLog + "Requested protocols: chat",
                                    "debug " + sessionLog + "Handshake successful",
                                    "info " + sessionLog + "Client disconnected: 127.0.0.1:"}) {
        EXPECT_EQ(s.logs.waitFor([&](auto& v) {
            return std::any_of(v.begin(), v.end(), [&](auto& l) { return l.rfind(line, 0) == 0; });
        }),
                  true)
            << line;
    }
    EXPECT_TRUE(s.logs.waitFor([](auto& v) {
        return std::any_of(v.begin(), v.end(), [](auto& l) {
            return l.rfind("info [WebSocketServer] Accept: 127.0.0.1:", 0) == 0;
        });
    }));
}

TEST(Server, RegistryIdsAndCallbacksThatUseIt) {
    LogRecorder logs;
    Recorder events;  // outlives the server, whose sessions still report while it stops
    WebSocketServer server(0);
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
}

TEST(Server, HostileAndFailingClients) {
    struct Row {
        std::string name;
        Bytes bytes;
        bool reset;
        std::string error, logLine;
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
    };
    for (const Row& row : rows) {
        EchoServer s;
        s.start();
        auto peer = Peer::connect(s.server.boundPort());
        peer->write(row.bytes);
        if (row.reset) {
            ASSERT_TRUE(s.events.waitFor("open"));
            peer->reset();
        } else {
            peer->finish();
        }
        EXPECT_TRUE(s.events.waitFor("error:" + row.error)) << row.name;
        EXPECT_TRUE(row.logLine.empty() || s.logs.waitFor("error " + sessionLog + row.logLine))
            << row.name;
        EXPECT_TRUE(s.logs.waitFor(
            "debug [WebSocketServer] Session disconnected and removed - session ID: 0"));
    }
}

TEST(Server, TlsSessionsAndPlainClientsOnATlsPort) {
    EchoServer s(true);
    s.start();
    auto plain = Peer::connect(s.server.boundPort());
    plain->write(upgrade);
    EXPECT_TRUE(plain->waitForClose());
    EXPECT_TRUE(s.events.waitFor("error:SSL handshake failed"));
    auto peer = Peer::connect(s.server.boundPort(), true);
    peer->write(upgrade);
    EXPECT_EQ(peer->readHeader().substr(0, 34), "HTTP/1.1 101 Switching Protocols\r\n");
    peer->write(frame(2, Bytes(70000, 7), true));
    EXPECT_EQ(peer->readFrames(1), std::vector<std::string>{"2:" + std::string(70000, 7)});
}

TEST(Server, SessionsOutliveTheServerSafely) {
    std::shared_ptr<WebSocketSession> held;
    auto peer = std::make_unique<Peer>(false, false);
    {
        EchoServer s;
        s.start();
        peer = Peer::connect(s.server.boundPort());
        peer->write(upgrade);
        peer->readHeader();
        ASSERT_TRUE(s.events.waitFor("open"));
        held = s.server.getSession(0);
        EXPECT_THROW(WebSocketServer(s.server.boundPort()), std::system_error);
    }
    held->send(bytesOf("nobody"), true, 0);
    held->close({});
    EXPECT_THROW(WebSocketServer(0, "/nonexistent.pem", "/nonexistent.key"), std::system_error);
}

// Our clients against our server: every size both ways, from several host threads at once,
// each thread's messages in order, then closes from both ends.
TEST(Server, ManyClientsManyThreadsEverySize) {
    EchoServer s;
    s.start();
    const std::vector<size_t> sizes = {1, 125, 126, 65535, 65536, 1 << 20};
    constexpr int clients = 8, threadsPerClient = 3;
    struct Client {
        Recorder events;
        std::unique_ptr<WebSocketClient> client;
    };
    std::vector<Client> all(clients);
    for (Client& c : all) {
        WebSocketClient::Handlers h;
        h.onOpen = [&c] { c.events.add("open"); };
        h.onClose = [&c] { c.events.add("close"); };
        h.onMessage = [&c](const Bytes& b, bool t) {
            const bool uniform =
                std::all_of(b.begin(), b.end(), [&](uint8_t x) { return x == b[0]; });
            c.events.add((t ? "t" : "b") + std::to_string(b.size()) + ":" +
                         std::to_string(uniform ? b[0] : 0));
        };
        c.client = std::make_unique<WebSocketClient>(
            "ws://127.0.0.1:" + std::to_string(s.server.boundPort()), std::vector<std::string>{},
            h);
    }
    std::vector<std::thread> senders;
    for (Client& c : all) {
        for (int t = 1; t <= threadsPerClient; ++t) {
            senders.emplace_back([&c, &sizes, t] {
                for (size_t n : sizes)
                    c.client->send(Bytes(n, static_cast<uint8_t>(t)), t == 1, 4096);
            });
        }
    }
    for (auto& thread : senders)
        thread.join();
    for (Client& c : all) {
        ASSERT_TRUE(c.events.waitForCount(1 + threadsPerClient * sizes.size()));
        c.client->close({0x03, 0xE8});
    }
    for (Client& c : all) {
        ASSERT_TRUE(c.events.waitFor("close"));
        const auto events = c.events.all();
        EXPECT_EQ(events.front(), "open");
        EXPECT_EQ(events.size(), 2 + threadsPerClient * sizes.size());
        for (int t = 1; t <= threadsPerClient; ++t) {
            const std::string suffix = ":" + std::to_string(t);
            std::vector<std::string> mine, expected;
            for (const auto& e : events) {
                if (e.size() > suffix.size() &&
                    e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0)
                    mine.push_back(e);
            }
            for (size_t n : sizes)
                expected.push_back((t == 1 ? "t" : "b") + std::to_string(n) + suffix);
            EXPECT_EQ(mine, expected) << "thread " << t;
        }
    }
    EXPECT_TRUE(s.logs.waitFor([&](auto& v) {
        return std::count_if(v.begin(), v.end(), [](auto& l) {
                   return l.rfind("debug [WebSocketServer] Session disconnected", 0) == 0;
               }) == clients;
    }));
    for (int id = 0; id < clients; ++id)
        EXPECT_EQ(s.server.getSession(id), nullptr);
}

}  // namespace
