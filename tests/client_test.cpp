// The client over real sockets against a scripted server: the request it writes, how it
// takes each response, TLS trust and names, and the exact lines it logs.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include "Support.h"
#include "tidewire/WebSocketClient.h"

namespace {

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::generateAcceptKey;
using relaymatrix::extensions::tidewire::WebSocketClient;

// A client whose handlers record into `events`, connected to `server`.
struct Connection {
    explicit Connection(Peer* listener = nullptr) : server(listener ? *listener : own) {}
    void start(const std::string& url, std::vector<std::string> protocols = {}) {
        client = std::make_unique<WebSocketClient>(url, protocols);
        record(*client, events);  // nothing can happen before the server below accepts
        opened = server.accept();
    }
    std::string url(const std::string& scheme = "ws", const std::string& host = "127.0.0.1") {
        return scheme + "://" + host + ":" + std::to_string(server.port());
    }
    LogRecorder logs;
    Recorder events;
    Peer own;
    Peer& server;
    bool opened = false;
    std::unique_ptr<WebSocketClient> client;
};

TEST(Client, RequestTextAndEachResponse) {
    const std::string ok = "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: %\r\n";
    const std::string invalid =
        "Handshake validation error: Invalid HTTP response or status code: ";
    const std::vector<std::vector<std::string>> rows = {
        // response ('%': the right accept value), then the events and the one log line it brings
        {ok + "Sec-WebSocket-Protocol: chat\r\n\r\n" + textOf(frame(1, bytesOf("hi"), false)),
         "open", "text:hi", "error:Read error",
         "debug [WebSocketClient] Negotiated protocol: chat"},
        {"HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: %\r\n\r\n",
         "error:" + invalid + "HTTP/1.1 200  OK\r",
         "error [WebSocketClient] " + invalid + "HTTP/1.1 200  OK\r"},
        {"HTTP/1.1 101 Switching", "error:End of file",
         "error [WebSocketClient] Handshake response error: End of file"},
        {"HTTP/1.1 101 Switching\r\n" + std::string(17000, 'x'), "error:Message too long",
         "error [WebSocketClient] Handshake response error: Message too long"},
    };
    for (const auto& row : rows) {
        Connection c;
        c.start(c.url() + "/chat?room=1#frag", {"chat", "v2"});
        std::string request = c.server.readHeader();
        const size_t keyAt = request.find("Sec-WebSocket-Key: ") + 19;
        const std::string accept = generateAcceptKey(request.substr(keyAt, 24));
        EXPECT_EQ(request.replace(keyAt, 24, "KEY"),
                  "GET /chat?room=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: KEY\r\n"
                  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: chat, v2\r\n\r\n");
        auto fill = [&](std::string text) {
            const size_t at = text.find('%');
            return at == std::string::npos ? text : text.replace(at, 1, accept);
        };
        c.server.write(fill(row[0]));
        c.server.finish();
        std::vector<std::string> expected;
        for (size_t i = 1; i + 1 < row.size(); ++i)
            expected.push_back(fill(row[i]));
        ASSERT_TRUE(c.events.waitForCount(expected.size()));
        EXPECT_EQ(c.events.all(), expected);
        EXPECT_TRUE(c.logs.waitFor(row.back(), true)) << row.back();
        EXPECT_EQ(c.logs.count("info [WebSocketClient] Connect: 127.0.0.1:" +
                               std::to_string(c.server.port())),
                  1u);
    }
}

// TCP_NODELAY on this process's socket bound to `port`.
bool noDelay(unsigned short port) {
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in address{};
        socklen_t size = sizeof address, optionSize = sizeof(int);
        int on = 0;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
            return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &optionSize) == 0 && on != 0;
        }
    }
    return false;
}

TEST(Client, MasksItsFramesSendsHeldMessagesAndClosesInOrder) {
    Connection c;
    c.start(c.url());
    c.client->send(bytesOf("early"), true, 2);
    EXPECT_EQ(c.server.acceptUpgrade().substr(0, 16), "GET / HTTP/1.1\r\n");
    ASSERT_TRUE(c.events.waitFor("open"));
    EXPECT_TRUE(noDelay(c.server.remotePort()));
    c.client->send({0, 1, 2}, false, 0);
    c.client->ping(bytesOf("p"));
    c.client->close({0x03, 0xE8});
    std::vector<bool> masks;
    EXPECT_EQ(c.server.readFrames(6, &masks),
              (std::vector<std::string>{"1*:ea", "0*:rl", "0:y", std::string("2:\0\1\2", 5), "9:p",
                                        "8:\x03\xE8"}));
    EXPECT_EQ(masks, std::vector<bool>(6, true));
    c.server.write(frame(8, {0x03, 0xE8}, false));
    c.server.waitForClose();
    ASSERT_TRUE(c.logs.waitFor("debug [WebSocketClient] Connection closed"));
    EXPECT_EQ(c.events.all(), (std::vector<std::string>{"open", "close"}));
}

TEST(Client, ConnectFailuresAndBadUrls) {
    LogRecorder logs;
    Recorder events;
    const unsigned short closedPort = Peer().port();
    WebSocketClient::Handlers handlers;
    handlers.onError = [&](const std::string& e) { events.add(e); };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(closedPort), {}, handlers);
    ASSERT_TRUE(events.waitFor("Connection refused"));
    EXPECT_TRUE(logs.waitFor("error [WebSocketClient] Connect error: Connection refused"));
    client.stop();
    client.stop();
    EXPECT_THROW(WebSocketClient("ws://h/#\n", {}), std::invalid_argument);
}

TEST(Client, TlsTrustAndHostNames) {
    const Certificates& certs = Certificates::get();
    struct Row {
        std::string scheme, host, certificate, key, trustStore;
    } rows[] = {
        {"wss", "localhost", certs.cert, certs.key, certs.ca},
        {"https", "127.0.0.1", certs.cert, certs.key, certs.ca},
        {"wss", "localhost", certs.otherCert, certs.otherKey,
         certs.ca},                                                   // signed, for another name
        {"wss", "localhost", certs.cert, certs.key, "/nonexistent"},  // nobody vouches for it
    };
    for (const Row& row : rows) {
        setenv("SSL_CERT_FILE", row.trustStore.c_str(), 1);
        Peer server(row.certificate, row.key);
        Connection c(&server);
        c.start(c.url(row.scheme, row.host));
        if (&row < rows + 2) {
            ASSERT_TRUE(c.opened);
            c.server.acceptUpgrade();
            EXPECT_TRUE(c.events.waitFor("open")) << row.scheme << " " << row.host;
            EXPECT_TRUE(c.logs.waitFor("debug [WebSocketClient] SSL handshake successful"));
            c.client->setMaxMessageSize(3);
            c.server.write(frame(1, bytesOf("four"), false));
            EXPECT_TRUE(c.events.waitFor("error:Message too big"));
        } else {
            EXPECT_TRUE(c.events.waitFor("error:certificate verify failed", true));
            EXPECT_TRUE(c.logs.waitFor(
                "error [WebSocketClient] SSL handshake error: certificate verify failed", true));
        }
    }
    setenv("SSL_CERT_FILE", certs.ca.c_str(), 1);
}

}  // namespace
