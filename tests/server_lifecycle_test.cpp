#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

struct TlsClientContext {
    SSL_CTX* context = makeRawClientTlsContext();
    ~TlsClientContext() { SSL_CTX_free(context); }
};

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class Lifecycle : public ::testing::TestWithParam<bool> {};

}  // namespace

// Open sessions, one stuck in its opening handshake and (TLS) one stuck in its TLS
// handshake: stop returns, destruction returns, no handler runs after stop, and every client
// sees its connection closed.
TEST_P(Lifecycle, StopAndDestructionWithSessionsInEveryState) {
    const bool tls = GetParam();
    TlsClientContext tlsContext;
    ServerHarness server(tls);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (unsigned int id = 0; id < 3; ++id) {
        clients.push_back(
            std::make_unique<RawClient>(server.port(), tls ? tlsContext.context : nullptr));
        ASSERT_TRUE(clients.back()->send(upgradeRequest(sampleKey)));
        ASSERT_FALSE(clients.back()->readHeaderBlock().empty());
        ASSERT_TRUE(server.session(id)->waitFor("open"));
    }
    clients.push_back(
        std::make_unique<RawClient>(server.port(), tls ? tlsContext.context : nullptr));
    ASSERT_TRUE(clients.back()->send("GET / HTTP/1.1\r\nHost: h\r\n"));  // never finished
    ASSERT_NE(server.session(3), nullptr);
    if (tls) {
        clients.push_back(std::make_unique<RawClient>(server.port()));  // no TLS handshake
        ASSERT_NE(server.session(4), nullptr);
    }
    const size_t sessions = server.sessionCount();
    ASSERT_TRUE(clients[0]->send(clientFrame(true, 0x1, "before stop")));
    ASSERT_TRUE(server.session(0)->waitFor("text:before stop"));

    server->stop();
    std::vector<std::vector<std::string>> eventsAtStop;
    for (unsigned int id = 0; id < sessions; ++id) {
        eventsAtStop.push_back(server.session(id)->events());
    }
    ASSERT_TRUE(clients[1]->send(clientFrame(true, 0x1, "after stop")));
    server.destroyServer();

    for (unsigned int id = 0; id < sessions; ++id) {
        EXPECT_EQ(server.session(id)->events(), eventsAtStop[id]) << id;
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitForEndOfStream());
    }
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Lifecycle, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

// Sessions the host still holds when the server goes (open, already closed, mid-handshake)
// are safe to use and to release afterwards; their calls do nothing.
TEST(ServerLifecycle, HeldSessionsOutliveTheServerSafely) {
    LogRecorder log;
    ServerHarness server;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (unsigned int id = 0; id < 2; ++id) {
        clients.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_TRUE(clients.back()->send(upgradeRequest(sampleKey)));
        ASSERT_FALSE(clients.back()->readHeaderBlock().empty());
        ASSERT_TRUE(server.session(id)->waitFor("open"));
    }
    clients.push_back(std::make_unique<RawClient>(server.port()));
    ASSERT_NE(server.session(2), nullptr);

    std::vector<std::shared_ptr<WebSocketSession>> held;
    for (unsigned int id = 0; id < 3; ++id) {
        held.push_back(server->getSession(id));
        ASSERT_NE(held.back(), nullptr);
    }
    ASSERT_TRUE(clients[1]->send(clientFrame(true, 0x8, "")));  // session 1 closes first
    ASSERT_TRUE(server.session(1)->waitFor("close"));

    server.destroyServer();
    for (const auto& session : held) {
        session->send(bytesOf("after the server"), true, 4);
        session->ping(bytesOf("p"));
        session->close(bytesOf("\x03\xE8"));
        session->onMessageHandler = [](const std::vector<uint8_t>&, bool) {};
    }
    held.clear();
    EXPECT_EQ(server.session(0)->events(), std::vector<std::string>{"open"});
    EXPECT_TRUE(clients[0]->waitForEndOfStream());
    EXPECT_TRUE(clients[0]->pending().empty());
}

// Host threads keep sending on held sessions while the server is destroyed under them.
TEST(ServerLifecycle, DestructionWhileHostThreadsSend) {
    ServerHarness server;
    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<std::shared_ptr<WebSocketSession>> held;
    for (unsigned int id = 0; id < 3; ++id) {
        clients.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_TRUE(clients.back()->send(upgradeRequest(sampleKey)));
        ASSERT_FALSE(clients.back()->readHeaderBlock().empty());
        ASSERT_TRUE(server.session(id)->waitFor("open"));
        held.push_back(server->getSession(id));
    }
    std::atomic<bool> done{false};
    std::atomic<size_t> sends{0};
    std::vector<std::thread> senders;
    for (const auto& session : held) {
        senders.emplace_back([&, session] {
            const std::vector<uint8_t> message(100, 'x');
            while (!done.load()) {
                session->send(message, false, 64);
                sends.fetch_add(1);
            }
        });
    }
    while (sends.load() < 1000) {
        std::this_thread::yield();
    }
    server.destroyServer();
    const size_t atDestruction = sends.load();
    while (sends.load() < atDestruction + 1000) {
        std::this_thread::yield();
    }
    done = true;
    for (auto& sender : senders) {
        sender.join();
    }
    held.clear();
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitForEndOfStream());
    }
}

TEST(ServerLifecycle, AfterStopClientsAreNeverAccepted) {
    LogRecorder log;
    ServerHarness server;
    server->stop();
    RawClient client(server.port());  // completes into the backlog
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
    server.destroyServer();
    EXPECT_TRUE(client.waitForEndOfStream());
    EXPECT_TRUE(client.pending().empty());
    EXPECT_EQ(log.countPrefix(LogLevel::info, "[WebSocketServer] Accept: "), 0u);
    EXPECT_EQ(server.sessionCount(), 0u);
}
