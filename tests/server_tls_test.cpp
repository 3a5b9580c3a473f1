#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogRecorder.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "tidewire/Handshake.h"

using namespace tidewire_test;

namespace {

const std::string sessionTag = "[WebSocketServer][WebSocketSession] ";
constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string removed0 = "[WebSocketServer] Session disconnected and removed - session ID: 0";

struct TlsClientContext {
    SSL_CTX* context = makeRawClientTlsContext();
    ~TlsClientContext() { SSL_CTX_free(context); }
};

}  // namespace

TEST(ServerTls, PlainClientMakesTheTlsHandshakeFail) {
    LogRecorder log;
    ServerHarness server(true);
    RawClient client(server.port());
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey)));
    EXPECT_TRUE(client.waitForEndOfStream());
    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(events->waitFor("error:SSL handshake failed"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removed0));
    EXPECT_EQ(events->events(), std::vector<std::string>{"error:SSL handshake failed"});
    const std::vector<std::string> errors = log.texts(LogLevel::error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(sessionTag + "Error: SSL handshake failed - ", 0), 0u) << errors[0];
    EXPECT_EQ(server->getSession(0), nullptr);
}

TEST(ServerTls, ClientLeavingDuringTheTlsHandshake) {
    LogRecorder log;
    ServerHarness server(true);
    {
        RawClient client(server.port());
        ASSERT_NE(server.session(0), nullptr);
    }
    ASSERT_TRUE(server.session(0)->waitFor("error:SSL handshake failed"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removed0));
    EXPECT_EQ(server.session(0)->count("open"), 0u);
}

TEST(ServerTls, ExchangeOverTlsIsByteExact) {
    LogRecorder log;
    TlsClientContext tlsContext;
    ServerHarness server(
        true, [](ServerHarness::Session& session, SessionEvents& events, unsigned int) {
            events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
                session.send(bytes, isText, 3);  // echo in frames of 3 bytes
            };
        });
    RawClient client(server.port(), tlsContext.context);
    ASSERT_TRUE(client.send(upgradeRequest(sampleKey) + clientFrame(true, 0x1, "hello")));
    EXPECT_EQ(client.readHeaderBlock(),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(client.readExactly(9), std::string("\x01\x03hel\x80\x02lo", 9));
    ASSERT_TRUE(client.send(clientFrame(true, 0x9, "ping") + clientFrame(true, 0x8, "\x03\xE8")));
    EXPECT_EQ(client.readExactly(10), std::string("\x8A\x04ping\x88\x02\x03\xE8", 10));
    ASSERT_TRUE(server.session(0)->waitFor("close"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, removed0));
    EXPECT_EQ(server.session(0)->events(),
              (std::vector<std::string>{"open", "text:hello", "close"}));
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}
