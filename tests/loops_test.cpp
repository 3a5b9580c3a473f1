// Connections sharing threads: clients on one EventLoop, a server on several loops, and the
// lifetimes that sharing makes possible (a client let go from its own handler or from another
// thread while its handler runs, a loop stopped under its clients).
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "Support.h"
#include "tidewire/EventLoop.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

namespace {

using namespace tidewire_test;
using namespace relaymatrix::extensions::tidewire;

size_t threadCount() {
    size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// A server on `loops` loops whose sessions echo and note the thread of every handler call.
struct LoopServer {
    explicit LoopServer(size_t loops) {
        server.setEventLoops(loops);
        server.onNewSession([this](WebSocketSession& session) {
            note(session.identity().id);
            session.onMessageHandler = [this, &session](const Bytes& bytes, bool isText) {
                note(session.identity().id);
                session.send(bytes, isText, 0);
            };
            session.onCloseHandler = [this] { closes.add("close"); };
        });
        server.start();
    }
    void note(unsigned int id) {
        std::lock_guard<std::mutex> lock(mutex);
        threads[id].insert(std::this_thread::get_id());
    }
    std::string url() const { return "ws://127.0.0.1:" + std::to_string(server.boundPort()); }
    std::mutex mutex;
    std::map<unsigned int, std::set<std::thread::id>> threads;  // session id: handler threads
    Recorder closes;
    WebSocketServer server{0};
};

// Many clients on one loop, sending from foreign threads, against a server on three loops:
// no thread per client, every client's echoes in its order on the loop's thread, every
// session's handlers on one thread and the sessions spread over all three.
TEST(Loops, ManyClientsOnOneLoopAgainstAServerOnThree) {
    LoopServer s(3);
    const auto loop = EventLoop::create();
    const size_t threadsBefore = threadCount();
    constexpr int clients = 48, messages = 20;
    std::vector<Recorder> echoes(clients);
    std::vector<std::unique_ptr<WebSocketClient>> connections;
    std::atomic<int> offLoop{0};
    ConnectionOptions options;
    options.eventLoop = loop;
    for (Recorder& e : echoes) {
        WebSocketClient::Handlers h;
        h.onMessage = [&e, &offLoop, &loop](const Bytes& bytes, bool) {
            offLoop += !loop->runningInThisThread();
            e.add(textOf(bytes));
        };
        h.onClose = [&e] { e.add("close"); };
        connections.push_back(
            std::make_unique<WebSocketClient>(s.url(), std::vector<std::string>{}, h, options));
    }
    EXPECT_LE(threadCount(), threadsBefore + 1);  // at most the loop's name resolver
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (int c = t; c < clients; c += 4)
                for (int m = 0; m < messages; ++m)
                    connections[c]->send(bytesOf(std::to_string(m)), true, 0);
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    std::vector<std::string> expected;
    for (int m = 0; m < messages; ++m)
        expected.push_back(std::to_string(m));
    for (int c = 0; c < clients; ++c) {
        ASSERT_TRUE(echoes[c].waitForCount(messages)) << c;
        EXPECT_EQ(echoes[c].all(), expected);
        connections[c]->close({0x03, 0xE8});
    }
    for (Recorder& e : echoes)
        ASSERT_TRUE(e.waitFor("close"));
    ASSERT_TRUE(s.closes.waitForCount(clients));
    EXPECT_EQ(offLoop, 0);
    std::lock_guard<std::mutex> lock(s.mutex);
    std::set<std::thread::id> all;
    for (auto& [id, threads] : s.threads) {
        EXPECT_EQ(threads.size(), 1u) << id;
        all.insert(threads.begin(), threads.end());
    }
    EXPECT_EQ(s.threads.size(), size_t(clients));
    EXPECT_EQ(all.size(), 3u);
}

// A client let go from its own handler (the last holder of the loop too), and one destroyed
// from another thread while its handler runs: the destructor waits for that handler only, and
// no handler runs after either; the server sees both connections end.
TEST(Loops, ClientsLetGoWhileTheirHandlersRun) {
    LoopServer s(1);
    LogRecorder logs;
    std::unique_ptr<WebSocketClient> selfEnding, waited;
    std::atomic<int> calls{0};
    std::promise<void> inHandler, destroyed, published, handlerEnded, selfEnded;
    const std::shared_future<void> bothPublished = published.get_future().share();
    std::atomic<bool> returnedUnderHandler{false};
    {
        ConnectionOptions options;
        options.eventLoop = EventLoop::create();  // held by this client alone from now on
        WebSocketClient::Handlers h;
        h.onOpen = [&] {
            bothPublished.wait();
            selfEnding.reset();
            selfEnded.set_value();
        };
        h.onError = [&](const std::string&) { ++calls; };
        h.onClose = [&] { ++calls; };
        selfEnding =
            std::make_unique<WebSocketClient>(s.url(), std::vector<std::string>{}, h, options);
        options.eventLoop = EventLoop::create();
        h.onOpen = [&] {
            bothPublished.wait();
            waited->send(bytesOf("x"), true, 0);
        };
        // Runs on past the destructor's call: the destructor must not return meanwhile.
        h.onMessage = [&, ended = destroyed.get_future().share()](const Bytes&, bool) {
            inHandler.set_value();
            returnedUnderHandler =
                ended.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready;
            handlerEnded.set_value();
        };
        waited = std::make_unique<WebSocketClient>(s.url(), std::vector<std::string>{}, h, options);
        published.set_value();
    }
    ASSERT_EQ(inHandler.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    waited.reset();
    destroyed.set_value();
    ASSERT_EQ(handlerEnded.get_future().wait_for(std::chrono::seconds(20)),
              std::future_status::ready);
    EXPECT_FALSE(returnedUnderHandler);
    ASSERT_EQ(selfEnded.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(selfEnding, nullptr);
    EXPECT_TRUE(logs.waitFor([](auto& lines) {
        return std::count_if(lines.begin(), lines.end(), [](auto& line) {
                   return line.rfind("debug [WebSocketServer] Session disconnected", 0) == 0;
               }) == 2;
    }));
    EXPECT_EQ(calls, 0);
}

// A loop stopped under connected clients: nothing of theirs runs, destroying them neither
// hangs nor leaks, a client made on the stopped loop waits for it, and started again the
// loop serves it.
TEST(Loops, StoppedLoopUnderItsClients) {
    LoopServer s(2);
    auto loop = EventLoop::create();
    ConnectionOptions options;
    options.eventLoop = loop;
    Recorder events;
    WebSocketClient::Handlers h;
    h.onOpen = [&] { events.add("open"); };
    auto first = std::make_unique<WebSocketClient>(s.url(), std::vector<std::string>{}, h, options);
    ASSERT_TRUE(events.waitFor("open"));
    loop->stop();
    loop->stop();
    first->send(bytesOf("never"), true, 0);
    first.reset();
    WebSocketClient late(s.url(), {}, h, options);
    loop->start();
    EXPECT_TRUE(events.waitForCount(2));
    loop.reset();
}

// Sessions on four loops: a burst against a limit admits exactly the limit, a broadcast from
// one session's handler reaches the sessions on the other loops, departures on every loop
// leave the registry, and the server stops with sessions open on every loop.
TEST(Loops, RegistryAndLimitAcrossLoops) {
    LogRecorder logs;
    WebSocketServer server(0);
    server.setEventLoops(4);
    server.setMaxSessions(6);
    std::atomic<int> announced{0};
    server.onNewSession([&](WebSocketSession& session) {
        ++announced;
        session.onMessageHandler = [&server](const Bytes& bytes, bool) {
            for (unsigned int id = 0; id < 16; ++id)
                if (const auto other = server.getSession(id))
                    other->send(bytes, true, 0);
        };
    });
    server.start();
    const std::string upgrade =
        "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::vector<std::unique_ptr<Peer>> peers, served;
    for (int i = 0; i < 16; ++i) {
        peers.push_back(Peer::connect(server.boundPort()));
        peers.back()->write(upgrade);
    }
    for (auto& peer : peers)
        if (peer->readHeader().substr(9, 3) == "101")
            served.push_back(std::move(peer));
    ASSERT_EQ(served.size(), 6u);
    EXPECT_EQ(announced, 6);
    served[0]->write(frame(1, bytesOf("all"), true));
    for (auto& peer : served)
        EXPECT_EQ(peer->readFrames(1), std::vector<std::string>{"1:all"});
    for (size_t i = 0; i < 3; ++i)
        served[i]->write(frame(8, {0x03, 0xE8}, true));
    for (size_t i = 0; i < 3; ++i)
        served[i]->readFrames(1);
    EXPECT_TRUE(logs.waitFor([](auto& lines) {
        return std::count_if(lines.begin(), lines.end(), [](auto& line) {
                   return line.rfind("debug [WebSocketServer] Session disconnected", 0) == 0;
               }) == 3;
    }));
    int registered = 0;
    for (unsigned int id = 0; id < 16; ++id)
        registered += server.getSession(id) != nullptr;
    EXPECT_EQ(registered, 3);
    auto another = Peer::connect(server.boundPort());
    another->write(upgrade);
    EXPECT_EQ(another->readHeader().substr(9, 3), "101");
}

// A server on the host's loops, shared with its clients, stopped by a session's own handler:
// no handler of it runs afterwards, its clients see the end, and a session the host kept
// stays a safe object after the server and the loops are gone.
TEST(Loops, ServerOnTheHostsLoopsStopsFromItsOwnHandler) {
    std::vector<std::shared_ptr<EventLoop>> loops = {EventLoop::create(), EventLoop::create()};
    auto server = std::make_unique<WebSocketServer>(0);
    server->setEventLoops(loops);
    std::atomic<int> afterStop{0}, sessionsSeen{0};
    std::atomic<bool> stopped{false};
    server->onNewSession([&](WebSocketSession& session) {
        ++sessionsSeen;
        session.onMessageHandler = [&](const Bytes& bytes, bool) {
            afterStop += stopped;
            if (textOf(bytes) == "stop") {
                server->stop();
                stopped = true;
            }
        };
        session.onErrorHandler = [&](const std::string&) { afterStop += stopped; };
    });
    server->start();
    const std::string url = "ws://127.0.0.1:" + std::to_string(server->boundPort());
    ConnectionOptions options;
    options.eventLoop = loops[0];
    std::vector<Recorder> events(4);
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (Recorder& e : events) {
        WebSocketClient::Handlers h;
        h.onOpen = [&e] { e.add("open"); };
        h.onError = [&e](const std::string& text) { e.add("error:" + text); };
        clients.push_back(
            std::make_unique<WebSocketClient>(url, std::vector<std::string>{}, h, options));
        ASSERT_TRUE(e.waitFor("open"));
    }
    const std::shared_ptr<WebSocketSession> kept = server->getSession(1);
    ASSERT_NE(kept, nullptr);
    clients[0]->send(bytesOf("stop"), true, 0);
    for (Recorder& e : events)
        EXPECT_TRUE(e.waitFor("error:", true));
    for (auto& client : clients)
        client->send(bytesOf("late"), true, 0);
    server.reset();
    EXPECT_EQ(afterStop, 0);
    EXPECT_EQ(sessionsSeen, 4);
    clients.clear();
    loops.clear();
    kept->send(bytesOf("nowhere"), true, 0);
    EXPECT_EQ(kept->identity().id, 1u);
}

// Everything let go while the host's loops are stopped: nothing hangs, nothing leaks, and no
// socket outlives the loop it belongs to.
TEST(Loops, ServerAndClientLetGoOnStoppedLoops) {
    std::vector<std::shared_ptr<EventLoop>> loops = {EventLoop::create(), EventLoop::create()};
    auto server = std::make_unique<WebSocketServer>(0);
    server->setEventLoops(loops);
    server->start();
    Recorder events;
    WebSocketClient::Handlers h;
    h.onOpen = [&] { events.add("open"); };
    ConnectionOptions options;
    options.eventLoop = loops[1];
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<WebSocketClient>(
            "ws://127.0.0.1:" + std::to_string(server->boundPort()), std::vector<std::string>{}, h,
            options));
    }
    ASSERT_TRUE(events.waitForCount(3));
    const std::shared_ptr<WebSocketSession> kept = server->getSession(0);
    for (const auto& loop : loops)
        loop->stop();
    server.reset();
    clients.clear();
    loops.clear();
    kept->send(bytesOf("nowhere"), true, 0);
}

// TLS clients on one loop share a context only with the same settings: one that trusts
// another CA still refuses the server the others accept.
TEST(Loops, TlsClientsShareTheirContextOnlyWithTheSameSettings) {
    const Certificates& certs = Certificates::get();
    WebSocketServer server(0, certs.dir + "private.pem", certs.dir + "private.key");
    server.start();
    ConnectionOptions options;
    options.eventLoop = EventLoop::create();
    std::vector<Recorder> events(3);
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (size_t i = 0; i < events.size(); ++i) {
        options.tls.caFile = i == 1 ? "" : certs.dir + "ca2.pem";  // the middle one: ca.pem
        WebSocketClient::Handlers h;
        h.onOpen = [&e = events[i]] { e.add("open"); };
        h.onError = [&e = events[i]](const std::string& text) { e.add(text); };
        clients.push_back(std::make_unique<WebSocketClient>(
            "wss://localhost:" + std::to_string(server.boundPort()), std::vector<std::string>{}, h,
            options));
        ASSERT_TRUE(events[i].waitForCount(1));
    }
    EXPECT_EQ(events[0].all(), Recorder::Items{"open"});
    EXPECT_EQ(events[1].all(), Recorder::Items{"certificate verify failed (SSL routines): unable "
                                               "to get local issuer certificate"});
    EXPECT_EQ(events[2].all(), Recorder::Items{"open"});
}

}  // namespace
