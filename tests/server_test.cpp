// The server over real sockets: the exact handshake it answers, its registry, hostile and
// failing clients, TLS, its lifetime, and our own clients talking to it from many threads.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <map>
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
    explicit EchoServer(bool tls = false, const ConnectionOptions& options = {})
        : server(tls ? WebSocketServer(0, Certificates::get().cert, Certificates::get().key)
                     : WebSocketServer(0)) {
        server.setConnectionOptions(options);
        server.onNewSession([this](WebSocketSession& session) {
            record(session, events);
            // The host may still look the failing session up from its error handler.
            session.onErrorHandler = [this, id = session.identity().id](const std::string& e) {
                events.add("error:" + e + (server.getSession(id) ? "" : " (gone)"));
            };
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
    // A large frame sent whole, then a tiny one: reading the first must not leave the socket
    // waiting for more bytes than the second brings.
    const Bytes large(100000, 'L');
    peer->write(frame(2, large, true));
    EXPECT_EQ(peer->readFrames(1), std::vector<std::string>{"2:" + textOf(large)});
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
    EXPECT_EQ(s.events.all(),
              (std::vector<std::string>{"open", "binary:100000", "text:hi", "close"}));
    EXPECT_EQ(s.server.getSession(0), nullptr);
    for (const std::string& line : {"trace " + sessionLog + "Requested protocols: chat",
                                    "debug " + sessionLog + "Handshake successful",
                                    "info " + sessionLog + "Client disconnected: 127.0.0.1:",
                                    std::string("info [WebSocketServer] Accept: 127.0.0.1:")}) {
        EXPECT_TRUE(s.logs.waitFor(line, true)) << line;
    }
}

// The first offer it can honour is answered; "Hello" both ways as RFC 7692, 7.2.3 has it.
TEST(Server, CompressionAnsweredAndUsed) {
    ConnectionOptions options;
    options.compression.enabled = true;
    options.compression.minimumMessageBytes = 0;
    options.compression.serverMaxWindowBits = 16;
    EXPECT_THROW(WebSocketServer(0).setConnectionOptions(options), std::invalid_argument);
    options.compression.serverMaxWindowBits = 15;
    EchoServer s(false, options);
    auto peer = Peer::connect(s.server.boundPort());
    peer->write(upgrade.substr(0, upgrade.size() - 2) +
                "Sec-WebSocket-Extensions: permessage-deflate; server_max_window_bits=8, "
                "permessage-deflate; client_max_window_bits\r\n\r\n");
    EXPECT_EQ(peer->readHeader(),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
              "Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
              "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n");
    const std::string hello("\xf2\x48\xcd\xc9\xc9\x07\x00", 7);
    peer->write(frame(0x41, bytesOf(hello), true));
    EXPECT_EQ(peer->readFrames(1), std::vector<std::string>{"1c:" + hello});
    ASSERT_TRUE(s.events.waitFor("text:Hello"));
    EXPECT_EQ(s.server.getSession(0)->identity().extensions, "permessage-deflate");
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
    EXPECT_EQ(thrownText([] {
                  WebSocketServer(0, "/nonexistent.pem", "/nonexistent.key");
              }).rfind("TLS certificate file /nonexistent.pem: ", 0),
              0u);
    EXPECT_THROW(WebSocketServer("no-address", 0), std::system_error);
}

TEST(Server, HostileAndFailingClients) {
    struct Row {
        std::string name;
        Bytes bytes;
        bool reset;
        std::string error, logLine;
        bool tls = false;
        std::vector<std::string> frames = {};  // what the client reads after the 101
    };
    const Row rows[] = {
        {"endless header", bytesOf("GET / HTTP/1.1\r\n" + std::string(20000, 'a')), false,
         "Handshake error", "Error: Handshake error - Message too long"},
        {"leaves mid-request", bytesOf("GET / HTTP/1.1\r\n"), false, "Handshake error",
         "Error: Handshake error - End of file"},
        {"resets mid-frame", bytesOf(upgrade + "\x81\x85"), true, "Read error",
         "Error: Read error - Connection reset by peer"},
        {"stray continuation after a message",
         bytesOf(upgrade + textOf(frame(1, bytesOf("hi"), true)) +
                 textOf(frame(0, bytesOf("x"), true, false))),
         false,
         "Unexpected frame",
         "Error: Unexpected frame - Protocol error",
         false,
         {"1:hi", "8:\x03\xEA"}},
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
        if (!row.frames.empty()) {
            peer->readHeader();
            EXPECT_EQ(peer->readFrames(2), row.frames) << row.name;
        }
        EXPECT_TRUE(s.events.waitFor("error:" + row.error)) << row.name;
        EXPECT_TRUE(s.logs.waitFor("error " + sessionLog + row.logLine, true)) << row.name;
        EXPECT_TRUE(s.logs.waitFor(
            "debug [WebSocketServer] Session disconnected and removed - session ID: 0"));
        const auto events = s.events.all();
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](auto& e) { return e.rfind("error:", 0) == 0; }),
                  1)
            << row.name;
    }
}

// Handshake control: origins, then the hook, then the server's subprotocol list; a refused
// client gets its exact refusal and never reaches the registry or the new-session callback.
TEST(Server, HandshakeControl) {
    LogRecorder logs;
    Recorder admitted;
    WebSocketServer server(0);
    server.setAllowedOrigins({"https://good.example"});
    server.setSubprotocols({"b", "a"});
    server.setHandshakeHook([](const HandshakeRequest& r) {
        HandshakeDecision d = HandshakeDecision::accept(r.target == "/pick" ? "a" : "");
        if (r.target == "/deny")
            return HandshakeDecision::reject(401, "who?");
        if (r.target == "/throw")
            throw std::runtime_error("hook failed");
        if (r.target == "/status")
            return HandshakeDecision::reject(302);
        if (r.target == "/not-offered")
            d.subprotocol = "zzz";
        const std::map<std::string, HttpHeaders::Field> refused = {
            {"/bad-header", {"X-Evil", "a\r\nb"}},
            {"/framing", {"content-length", "5"}},
            {"/nul-name", {std::string("X-A\0B", 5), "v"}}};
        const auto field = refused.find(r.target);
        field == refused.end() ? d.headers.add("X-Token", *r.headers.find("x-token"))
                               : d.headers.add(field->second.first, field->second.second);
        return d;
    });
    server.onNewSession([&](WebSocketSession& session) {
        const SessionIdentity id = session.identity();
        admitted.add(id.target + " " + id.subprotocol + " " + id.peerAddress + " " +
                     std::to_string(id.id) + " " + *id.headers.find("X-TOKEN"));
    });
    server.start();
    const std::string accept =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Accept: "
        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    auto refusal = [](const std::string& status, const std::string& body) {
        return "HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Type: text/plain\r\n" +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string serverError = refusal("500 Internal Server Error", "Internal Server Error");
    struct Row {
        std::string target, fields, response, logLine;
    };
    const Row rows[] = {
        {"/ok", "Origin: https://good.example\r\nSec-WebSocket-Protocol: a, b\r\n",
         accept + "Sec-WebSocket-Protocol: b\r\nX-Token: t\r\n\r\n", ""},
        {"/none?q=1", "Sec-WebSocket-Protocol: x\r\n", accept + "X-Token: t\r\n\r\n", ""},
        {"/pick", "Sec-WebSocket-Protocol: b\r\nsec-websocket-protocol: a\r\n",
         accept + "Sec-WebSocket-Protocol: a\r\nX-Token: t\r\n\r\n", ""},
        {"/ok", "Origin: https://evil.example\r\n", refusal("403 Forbidden", "Origin not allowed"),
         ""},
        {"/deny", "", refusal("401 Unauthorized", "who?"), ""},
        {"/throw", "", serverError, "Handshake hook exception: hook failed"},
        {"/status", "", serverError, "Handshake hook refused with status 302"},
        {"/not-offered", "", serverError, "Handshake hook chose a subprotocol not offered: zzz"},
        {"/bad-header", "", serverError,
         "Handshake hook header refused: value of header \"X-Evil\" holds CR, LF or NUL"},
        {"/framing", "", serverError,
         "Handshake hook header refused: header \"content-length\" is set by the response"},
        {"/nul-name", "", serverError, "Handshake hook header refused: header name \"X-A"},
    };
    for (const Row& row : rows) {
        auto peer = Peer::connect(server.boundPort());
        peer->write("GET " + row.target + " HTTP/1.1\r\nHost: x\r\nX-Token: t\r\n" + row.fields +
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        const std::string head = peer->readHeader();
        if (head.rfind("HTTP/1.1 101", 0) == 0) {
            EXPECT_EQ(head, row.response) << row.target;
            continue;
        }
        peer->waitForClose();
        EXPECT_EQ(head + textOf(peer->input), row.response) << row.target;
        EXPECT_TRUE(logs.waitFor("info " + sessionLog + "Handshake refused: " +
                                 row.response.substr(9, row.response.find('\r') - 9)));
        EXPECT_TRUE(row.logLine.empty() || logs.waitFor("error " + sessionLog + row.logLine, true))
            << row.target;
    }
    EXPECT_EQ(admitted.all(),
              (std::vector<std::string>{"/ok b 127.0.0.1 0 t", "/none?q=1  127.0.0.1 1 t",
                                        "/pick a 127.0.0.1 2 t"}));
    EXPECT_EQ(
        logs.count("debug [WebSocketServer] Session disconnected and removed - session ID: 3"), 0u);
}

// Out of descriptors, the listener rests between attempts, then serves a client that comes
// once descriptors are free again.
TEST(Server, AcceptsAgainOnceDescriptorsAreFree) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    // UBSan checks a virtual call it has not seen before through a pipe of its own, which
    // cannot open while the descriptors are gone; the normal and TSan builds run this.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
#endif
    EchoServer s;
    asio::io_context io;
    asio::ip::tcp::socket first(io);
    first.open(asio::ip::tcp::v4());  // its descriptor taken while there are some
    rlimit saved{}, lowered{};
    getrlimit(RLIMIT_NOFILE, &saved);
    lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(dup(0));  // the lowest free descriptor: none left
    close(static_cast<int>(lowered.rlim_cur));
    const auto start = std::chrono::steady_clock::now();
    setrlimit(RLIMIT_NOFILE, &lowered);
    first.connect({asio::ip::make_address("127.0.0.1"), s.server.boundPort()});
    const std::string failed = "error [WebSocketServer] Accept error: Too many open files";
    const bool thrice =
        s.logs.waitFor([&](auto& v) { return std::count(v.begin(), v.end(), failed) >= 3; });
    const auto rested = std::chrono::steady_clock::now() - start;  // two pauses at least
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(thrice);
    EXPECT_GE(rested, std::chrono::milliseconds(200));
    auto peer = Peer::connect(s.server.boundPort());
    peer->write(upgrade);
    ASSERT_TRUE(s.events.waitFor("open"));
    EXPECT_EQ(peer->readHeader().substr(0, 12), "HTTP/1.1 101");
}

// A burst of clients against a limit of two: two are served, the rest refused with 503; a
// departure makes room again.
TEST(Server, SessionLimit) {
    Recorder events;
    WebSocketServer server(0);
    server.setMaxSessions(2);
    server.onNewSession([&](WebSocketSession& session) { record(session, events); });
    server.start();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 6; ++i) {
        peers.push_back(Peer::connect(server.boundPort()));
        peers.back()->write(upgrade);
    }
    std::vector<std::string> statuses;
    Peer* served = nullptr;
    for (auto& peer : peers) {
        statuses.push_back(peer->readHeader().substr(9, 3));
        served = statuses.back() == "101" ? peer.get() : served;
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<std::string>{"101", "101", "503", "503", "503", "503"}));
    served->write(frame(8, {0x03, 0xE8}, true));
    ASSERT_TRUE(events.waitFor("close"));
    auto late = Peer::connect(server.boundPort());
    late->write(upgrade);
    EXPECT_EQ(late->readHeader().substr(0, 12), "HTTP/1.1 101");
}

// Bound to one address: IPv6 loopback serves our client there and nothing on IPv4.
TEST(Server, ListensOnOneAddress) {
    LogRecorder logs;
    Recorder events;
    WebSocketServer server("::1", 0);
    server.start();
    WebSocketClient::Handlers h;
    h.onOpen = [&] { events.add("open"); };
    WebSocketClient client("ws://[::1]:" + std::to_string(server.boundPort()) + "/", {}, h);
    ASSERT_TRUE(events.waitFor("open"));
    EXPECT_EQ(server.getSession(0)->identity().peerAddress, "::1");
    EXPECT_TRUE(logs.waitFor("info [WebSocketServer] Accept: [::1]:", true));
    asio::io_context io;
    asio::ip::tcp::socket ipv4(io);
    asio::error_code refused;
    ipv4.connect({asio::ip::make_address("127.0.0.1"), server.boundPort()}, refused);
    EXPECT_TRUE(refused);
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
