#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "TestCertificates.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string removedLine(unsigned int id) {
    return "[WebSocketServer] Session disconnected and removed - session ID: " + std::to_string(id);
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct TlsClientContext {
    SSL_CTX* context = makeRawClientTlsContext();
    ~TlsClientContext() { SSL_CTX_free(context); }
};

class Registry : public ::testing::TestWithParam<bool> {};

}  // namespace

// Identifiers 0, 1, 2 follow the accept order, and each names its own connection.
TEST_P(Registry, IdentifiersFollowTheAcceptOrder) {
    const bool tls = GetParam();
    TlsClientContext tlsContext;
    LogRecorder log;
    ServerHarness server(tls);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (unsigned int id = 0; id < 3; ++id) {
        clients.push_back(
            std::make_unique<RawClient>(server.port(), tls ? tlsContext.context : nullptr));
        ASSERT_TRUE(clients.back()->send(upgradeRequest(sampleKey)));
        ASSERT_FALSE(clients.back()->readHeaderBlock().empty());
        ASSERT_NE(server.session(id), nullptr);
        ASSERT_TRUE(server.session(id)->waitFor("open"));
    }
    std::vector<std::string> expectedAccepts;
    for (unsigned int id = 0; id < 3; ++id) {
        expectedAccepts.push_back("[WebSocketServer] Accept: 127.0.0.1:" +
                                  std::to_string(clients[id]->localPort()));
        const std::shared_ptr<WebSocketSession> session = server->getSession(id);
        ASSERT_NE(session, nullptr);
        session->send(bytesOf("to " + std::to_string(id)), true, 100);
        PeerFrame frame;
        ASSERT_TRUE(clients[id]->readFrame(frame));
        EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.end()),
                  "to " + std::to_string(id));
    }
    EXPECT_EQ(log.texts(LogLevel::info), expectedAccepts);
    EXPECT_EQ(server->getSession(3), nullptr);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Registry, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

TEST(ServerRegistry, PointerObtainedBeforeRemovalStaysUsable) {
    LogRecorder log;
    ServerHarness server;
    RawClient client(server.port());
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
    ASSERT_FALSE(client.readHeaderBlock().empty());
    ASSERT_TRUE(server.session(0)->waitFor("open"));
    const std::shared_ptr<WebSocketSession> held = server->getSession(0);
    ASSERT_NE(held, nullptr);

    ASSERT_TRUE(client.send(clientFrame(true, 0x8, "")));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removedLine(0)));
    EXPECT_EQ(server->getSession(0), nullptr);
    // Sending on a closed session is harmless and reaches nobody.
    held->send(bytesOf("late"), true, 100);
    held->ping({});
    held->close({});
    EXPECT_TRUE(client.waitForEndOfStream());
    EXPECT_EQ(client.pending(), std::string("\x88\x00", 2));
}

TEST(ServerRegistry, RemovingAnUnknownIdentifierStillLogs) {
    LogRecorder log;
    WebSocketServer server(0);
    server.removeSession(42);
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{LogLevel::debug, removedLine(42)}}));
    EXPECT_EQ(server.getSession(42), nullptr);
}

TEST(ServerConstruction, SecondServerOnTheSamePortFailsUntilTheFirstIsGone) {
    auto first = std::make_unique<WebSocketServer>(0);
    const unsigned short port = first->boundPort();
    try {
        WebSocketServer second(port);
        FAIL() << "bind should have failed";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("bind"), std::string::npos) << e.what();
        EXPECT_EQ(e.code().value(), EADDRINUSE);
    }
    first.reset();
    WebSocketServer again(port);  // address reuse: bound again at once
    EXPECT_EQ(again.boundPort(), port);
}

TEST(ServerConstruction, PortIsTakenModulo65536) {
    WebSocketServer server(65536u);  // low 16 bits: 0, a system-chosen port
    EXPECT_NE(server.boundPort(), 0);
}

TEST(ServerConstruction, UnloadableTlsFilesThrowNamingTheStep) {
    const TestCertificates& certificates = TestCertificates::get();
    struct Case {
        std::string certificate;
        std::string key;
        std::string step;
    };
    const Case cases[] = {
        {"/nonexistent/cert.pem", certificates.serverKeyFile, "use_certificate_chain_file"},
        {certificates.serverKeyFile, certificates.serverKeyFile, "use_certificate_chain_file"},
        {certificates.serverCertFile, "/nonexistent/key.pem", "use_private_key_file"},
        {certificates.serverCertFile, certificates.untrustedKeyFile, "use_private_key_file"},
    };
    const unsigned short port = WebSocketServer(0).boundPort();
    for (const Case& c : cases) {
        try {
            WebSocketServer server(port, c.certificate, c.key);
            ADD_FAILURE() << "no exception for " << c.certificate << " / " << c.key;
        } catch (const std::system_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.step), std::string::npos) << e.what();
        }
        // Nothing stays bound after a failed construction.
        EXPECT_NO_THROW(WebSocketServer probe(port));
    }
}

TEST(ServerLifecycle, DestroyedWithoutStartOrStop) {
    LogRecorder log;
    { WebSocketServer server(0); }
    {
        WebSocketServer server(0);
        server.stop();
        server.stop();
    }
    EXPECT_TRUE(log.lines().empty());
}

// Exceptions from host code never reach the event loop: the server logs them and goes on.
TEST(ServerLifecycle, ThrowingHostHandlersAreLoggedAndServingGoesOn) {
    LogRecorder log;
    ServerHarness server(false,
                         [](ServerHarness::Session& session, SessionEvents&, unsigned int index) {
                             if (index == 0) {
                                 throw std::runtime_error("callback boom");
                             }
                             session.onMessageHandler = [](const std::vector<uint8_t>&, bool) {
                                 throw std::runtime_error("message boom");
                             };
                         });
    RawClient first(server.port());
    ASSERT_TRUE(first.send(upgradeRequest(sampleKey)));
    ASSERT_FALSE(first.readHeaderBlock().empty());
    ASSERT_TRUE(log.waitForLine(LogLevel::error,
                                "[WebSocketServer] New-session handler exception: callback boom"));

    RawClient second(server.port());
    ASSERT_TRUE(second.send(upgradeRequest(sampleKey) + clientFrame(true, 0x1, "a") +
                            clientFrame(true, 0x9, "still reading")));
    ASSERT_FALSE(second.readHeaderBlock().empty());
    PeerFrame pong;
    ASSERT_TRUE(second.readFrame(pong));
    EXPECT_EQ(std::string(pong.payload.begin(), pong.payload.end()), "still reading");
    EXPECT_EQ(log.count(LogLevel::error,
                        "[WebSocketServer][WebSocketSession] Handler exception: message boom"),
              1u);
    EXPECT_NE(server->getSession(0), nullptr);
    EXPECT_NE(server->getSession(1), nullptr);
}
