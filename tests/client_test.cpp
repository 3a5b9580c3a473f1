// The client over real sockets against a scripted server: the request it writes, how it
// takes each response, TLS trust and names, and the exact lines it logs.
#include <gtest/gtest.h>

#include "Support.h"
#include "tidewire/WebSocketClient.h"

namespace {

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;

const std::string acceptFor = "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: ";

struct Connection {
    explicit Connection(bool tls = false) : server(tls, true) {}
    void start(const std::string& url, std::vector<std::string> protocols = {}) {
        WebSocketClient::Handlers handlers;
        handlers.onOpen = [this] { events.add("open"); };
        handlers.onClose = [this] { events.add("close"); };
        handlers.onError = [this](const std::string& e) { events.add("error:" + e); };
        handlers.onMessage = [this](const Bytes& b, bool t) {
            events.add((t ? "text:" : "binary:") + textOf(b));
        };
        client = std::make_unique<WebSocketClient>(url, protocols, handlers);
        server.accept();
    }
    std::string url(const std::string& rest = "/") const {
        return "ws://127.0.0.1:" + std::to_string(server.port()) + rest;
    }
    LogRecorder logs;
    Recorder events;
    Peer server;
    std::unique_ptr<WebSocketClient> client;
};

TEST(Client, RequestTextAndEachResponse) {
    struct Row {
        std::string response;  // "%" becomes the right accept value
        std::vector<std::string> events;
        std::string logLine;
    };
    const std::string invalid =
        "Handshake validation error: Invalid HTTP response or status code: ";
    const Row rows[] = {
        {acceptFor + "%\r\nSec-WebSocket-Protocol: chat\r\n\r\n" +
             textOf(frame(1, bytesOf("hi"), false)),
         {"open", "text:hi"},
         "debug [WebSocketClient] Negotiated protocol: chat"},
        {"HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: %\r\n\r\n",
         {"error:" + invalid + "HTTP/1.1 200  OK\r"},
         "error [WebSocketClient] " + invalid + "HTTP/1.1 200  OK\r"},
        {acceptFor + "nope\r\n\r\n",
         {"error:Handshake validation error: Invalid Sec-WebSocket-Accept: nope expected: %"},
         ""},
        {"HTTP/1.1 101 Switching",
         {"error:End of file"},
         "error [WebSocketClient] Handshake response error: End of file"},
        {"HTTP/1.1 101 Switching\r\n" + std::string(17000, 'x'),
         {"error:Message too long"},
         "error [WebSocketClient] Handshake response error: Message too long"},
    };
    for (const Row& row : rows) {
        Connection c;
        c.start(c.url("/chat?room=1#frag"), {"chat", "v2"});
        std::string request = c.server.readHeader();
        const size_t keyAt = request.find("Sec-WebSocket-Key: ") + 19;
        const std::string key = request.substr(keyAt, 24);
        request.replace(keyAt, 24, "KEY");
        EXPECT_EQ(request,
                  "GET /chat?room=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: KEY\r\n"
                  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: chat, v2\r\n\r\n");
        const std::string accept = relaymatrix::extensions::tidewire::generateAcceptKey(key);
        auto fill = [&](std::string text) {
            const size_t at = text.find('%');
            return at == std::string::npos ? text : text.replace(at, 1, accept);
        };
        c.server.write(fill(row.response));
        c.server.finish();
        ASSERT_TRUE(c.events.waitForCount(row.events.size() + (row.events.back() == "text:hi")));
        std::vector<std::string> expected;
        for (const auto& e : row.events)
            expected.push_back(fill(e));
        if (expected.back() == "text:hi")
            expected.push_back("error:Read error");
        EXPECT_EQ(c.events.all(), expected);
        EXPECT_TRUE(row.logLine.empty() || c.logs.count(row.logLine) == 1) << row.logLine;
        EXPECT_EQ(c.logs.count("info [WebSocketClient] Connect: 127.0.0.1:" +
                               std::to_string(c.server.port())),
                  1u);
    }
}

TEST(Client, MasksItsFramesSendsHeldMessagesAndClosesInOrder) {
    Connection c;
    c.start(c.url(""));
    c.client->send(bytesOf("early"), true, 2);
    EXPECT_EQ(c.server.acceptUpgrade().substr(0, 16), "GET / HTTP/1.1\r\n");
    ASSERT_TRUE(c.events.waitFor("open"));
    c.client->send({0, 1, 2}, false, 0);
    c.client->ping(bytesOf("p"));
    c.client->close({0x03, 0xE8});
    std::vector<bool> masks;
    EXPECT_EQ(c.server.readFrames(6, &masks),
              (std::vector<std::string>{"1*:ea", "0*:rl", "0:y", std::string("2:\0\1\2", 5), "9:p",
                                        "8:\x03\xE8"}));
    EXPECT_EQ(masks, std::vector<bool>(6, true));
    c.server.write(frame(8, {0x03, 0xE8}, false));
    ASSERT_TRUE(c.events.waitFor("close"));
    EXPECT_TRUE(c.logs.waitFor("debug [WebSocketClient] Connection closed"));
    EXPECT_TRUE(c.server.waitForClose());
    EXPECT_EQ(c.events.all(), (std::vector<std::string>{"open", "close"}));
}

TEST(Client, ConnectFailuresAndBadUrls) {
    LogRecorder logs;
    Recorder events;
    unsigned short closedPort;
    {
        Peer listener(false, true);
        closedPort = listener.port();
    }
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
        std::string scheme, host, certificate;
        bool trusted;
        bool opens;
    };
    const Row rows[] = {
        {"wss", "localhost", certs.cert, true, true},
        {"https", "127.0.0.1", certs.cert, true, true},
        {"wss", "localhost", certs.otherCert, true, false},  // signed, but for another name
        {"wss", "localhost", certs.cert, false, false},      // nobody vouches for it
    };
    for (const Row& row : rows) {
        setenv("SSL_CERT_FILE", row.trusted ? certs.ca.c_str() : "/nonexistent", 1);
        asio::io_context io;
        asio::ssl::context context(asio::ssl::context::tls_server);
        context.use_certificate_chain_file(row.certificate);
        context.use_private_key_file(row.certificate == certs.cert ? certs.key : certs.otherKey,
                                     asio::ssl::context::pem);
        asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
        asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
        Recorder events;
        LogRecorder logs;
        WebSocketClient::Handlers handlers;
        handlers.onOpen = [&] { events.add("open"); };
        handlers.onError = [&](const std::string& e) { events.add("error:" + e); };
        WebSocketClient client(
            row.scheme + "://" + row.host + ":" + std::to_string(acceptor.local_endpoint().port()),
            {}, handlers);
        acceptor.accept(stream.next_layer());
        asio::error_code ec;
        stream.handshake(asio::ssl::stream_base::server, ec);
        if (row.opens) {
            ASSERT_FALSE(ec) << ec.message();
            asio::streambuf request;
            asio::read_until(stream, request, "\r\n\r\n");
            const std::string text(asio::buffers_begin(request.data()),
                                   asio::buffers_end(request.data()));
            const std::string key = text.substr(text.find("Sec-WebSocket-Key: ") + 19, 24);
            asio::write(
                stream,
                asio::buffer(acceptFor + relaymatrix::extensions::tidewire::generateAcceptKey(key) +
                             "\r\n\r\n"));
            EXPECT_TRUE(events.waitFor("open")) << row.scheme << " " << row.host;
            EXPECT_TRUE(logs.waitFor("debug [WebSocketClient] SSL handshake successful"));
        } else {
            ASSERT_TRUE(events.waitForCount(1));
            EXPECT_EQ(events.all()[0].rfind("error:certificate verify failed", 0), 0u)
                << events.all()[0];
            EXPECT_TRUE(logs.waitFor([](auto& v) {
                return std::any_of(v.begin(), v.end(), [](auto& l) {
                    return l.rfind(
                               "error [WebSocketClient] SSL handshake error: certificate verify "
                               "failed",
                               0) == 0;
                });
            }));
        }
    }
    setenv("SSL_CERT_FILE", certs.ca.c_str(), 1);
}

}  // namespace
