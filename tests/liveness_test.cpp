// The opt-in liveness and flow-control settings over loopback against scripted peers: each
// deadline fails the connection exactly once with its text, a peer that answers keeps it,
// the send limit cuts off a peer that never reads, drains and pongs reach the host.
#include <gtest/gtest.h>

#include "Support.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

namespace {

using namespace tidewire_test;
using namespace relaymatrix::extensions::tidewire;
using std::chrono::milliseconds;

const std::string upgrade = "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

ConnectionOptions with(milliseconds handshake, milliseconds close, milliseconds keepalive,
                       milliseconds connect = milliseconds(0),
                       milliseconds keepaliveTimeout = milliseconds(0)) {
    ConnectionOptions options;
    options.handshakeTimeout = handshake;
    options.closeTimeout = close;
    options.keepaliveInterval = keepalive;
    options.connectTimeout = connect;
    options.keepaliveTimeout = keepaliveTimeout;
    return options;
}

struct Row {
    const char* name;
    bool server, tls, closeAtOpen;
    ConnectionOptions options;
    std::function<void(Peer&)> peer;  // the other end, once connected
    std::string outcome;              // the one event that ends it
    milliseconds notBefore{0};        // from the peer's start
};

const milliseconds t(150), off(0);
const Row rows[] = {
    {"half a request", true, false, false, with(t, off, off), [](Peer& p) { p.write("GET / HT"); },
     "error:Handshake timeout"},
    {"TLS client stalls mid-handshake", true, true, false, with(t, off, off), [](Peer&) {},
     "error:Handshake timeout"},
    {"silent client", true, false, false, with(off, off, t),
     [](Peer& p) { p.write(upgrade), p.readHeader(), p.readFrames(1); }, "error:Keepalive timeout",
     2 * t},
    {"opened in time, open past the handshake deadline", true, false, false, with(t, off, 2 * t),
     [](Peer& p) {
         p.write(upgrade), p.readHeader();
         EXPECT_EQ(p.readFrames(1), std::vector<std::string>{"9:"});
         p.write(frame(8, {}, true));
     },
     "close"},
    {"client answers every ping", true, false, false,
     with(off, off, milliseconds(30), off, milliseconds(5000)),
     [](Peer& p) {
         p.write(upgrade), p.readHeader();
         for (int i = 0; i < 4; ++i) {
             EXPECT_EQ(p.readFrames(1), std::vector<std::string>{"9:"});
             p.write(frame(10, {}, true));
         }
         p.write(frame(8, {}, true));
     },
     "close"},
    {"client never answers our Close", true, false, true, with(off, t, off),
     [](Peer& p) { p.write(upgrade), p.readHeader(), p.readFrames(1); }, "error:Close timeout"},
    {"server never answers the upgrade", false, false, false, with(t, off, off),
     [](Peer& p) { p.readHeader(); }, "error:Handshake timeout"},
    {"silent server", false, false, false, with(off, off, t),
     [](Peer& p) {
         p.acceptUpgrade();
         EXPECT_EQ(p.readFrames(1), std::vector<std::string>{"9:"});
     },
     "error:Keepalive timeout"},
};

TEST(Liveness, EachDeadlineFailsOnce) {
    for (const Row& row : rows) {
        LogRecorder logs;
        Recorder events;
        std::optional<WebSocketServer> server;
        std::unique_ptr<WebSocketClient> client;
        std::unique_ptr<Peer> peer;
        if (row.server) {
            row.tls ? server.emplace(0, Certificates::get().cert, Certificates::get().key)
                    : server.emplace(0);
            server->setConnectionOptions(row.options);
            server->onNewSession([&](WebSocketSession& session) {
                record(session, events);
                if (row.closeAtOpen)
                    session.onOpenHandler = [&session] { session.close({0x03, 0xE8}); };
            });
            server->start();
            peer = Peer::connect(server->boundPort());
        } else {
            peer = std::make_unique<Peer>();
            client = std::make_unique<WebSocketClient>(
                "ws://127.0.0.1:" + std::to_string(peer->port()), std::vector<std::string>{},
                WebSocketClient::Handlers(), row.options);
            record(*client, events);
            peer->accept();
        }
        const auto start = std::chrono::steady_clock::now();
        row.peer(*peer);
        peer->waitForClose();
        ASSERT_TRUE(events.waitFor(row.outcome)) << row.name;
        EXPECT_GE(std::chrono::steady_clock::now() - start, row.notBefore) << row.name;
        const auto all = events.all();
        EXPECT_EQ(std::count_if(all.begin(), all.end(),
                                [](auto& e) { return e.rfind("error:", 0) == 0 || e == "close"; }),
                  1)
            << row.name;
        const std::string side =
            row.server ? "[WebSocketServer][WebSocketSession] " : "[WebSocketClient] ";
        const std::string line = "error " + side +
                                 "Error: " + row.outcome.substr(row.outcome.find(':') + 1) +
                                 " - Connection timed out";
        EXPECT_TRUE(row.outcome == "close" || logs.waitFor(line)) << line;
    }
}

TEST(Liveness, ConnectTimeoutAgainstAFullBacklog) {
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, {asio::ip::make_address("127.0.0.1"), 0}, false);
    listener.listen(0);
    asio::ip::tcp::socket filler(io);
    filler.connect(
        listener.local_endpoint());  // the one place in the queue; further SYNs are dropped
    Recorder events;
    WebSocketClient::Handlers h;
    h.onError = [&](const std::string& e) { events.add(e); };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(listener.local_endpoint().port()), {},
                           h, with(off, off, off, t));
    ASSERT_TRUE(events.waitFor("Connect timeout"));
    client.stop();
    EXPECT_EQ(events.all(), std::vector<std::string>{"Connect timeout"});
}

// The host sends from its own thread to a client that never reads: the limit cuts it off,
// bufferedAmount() never passes it. A reading client drains a burst, and pongs reach the host.
TEST(Liveness, SendLimitDrainAndPong) {
    Recorder events;
    WebSocketServer server(0);
    ConnectionOptions options;
    options.maxBufferedAmount = 1 << 20;
    options.drainLowWaterMark = 1024;
    server.setConnectionOptions(options);
    int sessions = 0;  // worker thread only
    server.onNewSession([&](WebSocketSession& session) {
        record(session, events);
        session.onDrainHandler = [&events, id = sessions++] {
            events.add("drain" + std::to_string(id));
        };
    });
    server.start();
    auto stuck = Peer::connect(server.boundPort());
    stuck->write(upgrade);
    stuck->readHeader();
    ASSERT_TRUE(events.waitFor("open"));
    auto session = server.getSession(0);
    while (events.count("error:Send buffer full") == 0) {
        session->send(Bytes(64 << 10), false, 0);
        ASSERT_LE(session->bufferedAmount(), options.maxBufferedAmount);
    }
    stuck->waitForClose();

    Recorder clientEvents;
    WebSocketClient::Handlers h;
    h.onPong = [&](const Bytes& payload) { clientEvents.add("pong:" + textOf(payload)); };
    h.onMessage = [&](const Bytes& m, bool) { clientEvents.add(std::to_string(m.size())); };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(server.boundPort()), {}, h);
    client.ping(bytesOf("abc"));
    ASSERT_TRUE(clientEvents.waitFor("pong:abc"));
    server.getSession(1)->send(Bytes(512 << 10), false, 0);
    ASSERT_TRUE(events.waitFor("drain1"));
    EXPECT_EQ(server.getSession(1)->bufferedAmount(), 0u);
    // Emptied again without passing the mark: no drain. The Pong below is written only
    // after that message's write has completed.
    server.getSession(1)->send(Bytes(10), false, 0);
    ASSERT_TRUE(clientEvents.waitFor("10"));
    client.ping(bytesOf("def"));
    ASSERT_TRUE(clientEvents.waitFor("pong:def"));
    EXPECT_EQ(events.count("drain1"), 1u);
    // The write the limit abandoned was no second failure.
    EXPECT_EQ(events.count("error:Send error") + events.count("error:Read error"), 0u);
}

}  // namespace
