// The client over real sockets against a scripted server: the request it writes, how it
// takes each response, TLS trust and names, and the exact lines it logs.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include "Support.h"
#include "tidewire/WebSocketClient.h"

namespace {

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::ConnectionOptions;
using relaymatrix::extensions::tidewire::generateAcceptKey;
using relaymatrix::extensions::tidewire::TLSOptions;
using relaymatrix::extensions::tidewire::WebSocketClient;

// A client whose handlers record into `events`, connected to `server`.
struct Connection {
    explicit Connection(Peer* listener = nullptr) : server(listener ? *listener : own) {}
    void start(const std::string& url, std::vector<std::string> protocols = {},
               const ConnectionOptions& options = {}) {
        client.reset(new WebSocketClient(url, protocols, {}, options));
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
        // A stray fragment: one report, as a protocol error.
        {ok + "\r\n" + textOf(frame(1, bytesOf("hi"), false)) +
             textOf(frame(0, bytesOf("x"), false, false)),
         "open", "text:hi", "error:Unexpected frame",
         "error [WebSocketClient] Error: Unexpected frame - Protocol error"},
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
    EXPECT_EQ(c.client->identity().closeCode, 0u);
    c.server.write(frame(8, {0x0F, 0xA1, 'b', 'y'}, false));  // 4001 "by"
    c.server.waitForClose();
    ASSERT_TRUE(c.logs.waitFor("debug [WebSocketClient] Connection closed"));
    EXPECT_EQ(c.events.all(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(std::to_string(c.client->identity().closeCode) + c.client->identity().closeReason,
              "4001by");
}

// Offered as configured; an answer that does not fit the offer fails the handshake.
TEST(Client, CompressionOfferedAndTheAnswerChecked) {
    ConnectionOptions options;
    options.compression.enabled = true;
    options.compression.minimumMessageBytes = 0;
    options.compression.clientMaxWindowBits = 8;
    EXPECT_THROW(WebSocketClient("ws://127.0.0.1:1", {}, {}, options), std::invalid_argument);
    options.compression.clientMaxWindowBits = 15;
    const std::string hello("\xf2\x48\xcd\xc9\xc9\x07\x00", 7),
        failure =
            "Handshake validation error: Invalid Sec-WebSocket-Extensions: permessage-deflate; x";
    for (const std::string answer : {"permessage-deflate", "permessage-deflate; x"}) {
        Connection c;
        c.start(c.url(), {}, options);
        const std::string request =
            c.server.acceptUpgrade("Sec-WebSocket-Extensions: " + answer + "\r\n");
        EXPECT_NE(request.find("\r\nSec-WebSocket-Extensions: permessage-deflate; "
                               "client_max_window_bits\r\n\r\n"),
                  std::string::npos);
        if (answer != "permessage-deflate") {
            EXPECT_TRUE(c.events.waitFor("error:" + failure));
            EXPECT_TRUE(c.logs.waitFor("error [WebSocketClient] " + failure));
            continue;
        }
        c.server.write(frame(0x41, bytesOf(hello), false));
        ASSERT_TRUE(c.events.waitFor("text:Hello"));
        c.client->send(bytesOf("Hello"), true, 0);
        EXPECT_EQ(c.server.readFrames(1), std::vector<std::string>{"1c:" + hello});
        EXPECT_EQ(c.client->identity().extensions, "permessage-deflate");
    }
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
    // Never a connection elsewhere: not to the listener on port 99999 & 0xFFFF, not to the
    // loopback's port 80.
    Peer wrapped;
    const std::string wrapping = "ws://127.0.0.1:" + std::to_string(wrapped.port() + 65536);
    const std::pair<std::string, std::string> refused[] = {
        {wrapping, "Service not found"},
        {"notaurl", "Host not found (authoritative)"},
        {"ws://:80", "Host not found (authoritative)"},
    };
    for (const auto& [url, text] : refused) {
        LogRecorder lines;
        Recorder failures;
        handlers.onError = [&failures](const std::string& e) { failures.add(e); };
        WebSocketClient bad(url, {}, handlers);
        ASSERT_TRUE(failures.waitFor(text)) << url;
        EXPECT_TRUE(lines.waitFor("error [WebSocketClient] Connect error: " + text));
    }
}

TEST(Client, ExtraHeadersIdentityAndIPv6) {
    using namespace std::string_literals;
    std::istringstream refused(  // "name=value" rows
        "=v|Bad Name=v|X:=v|X-A=a\r\nEvil: 1|X-A=a\nb|X-A=a\0b|X\0A=v|host=h|UPGRADE=u|Connection=|"
        "sec-websocket-key=k|Sec-WebSocket-Version=8|Sec-WebSocket-Protocol=p|"
        "Sec-WebSocket-Extensions=e|Sec-WebSocket-Accept=a"s);
    ConnectionOptions options;
    for (std::string row; std::getline(refused, row, '|');) {
        ConnectionOptions bad;
        bad.requestHeaders.add("Cookie", "fine=1");
        bad.requestHeaders.add(row.substr(0, row.find('=')), row.substr(row.find('=') + 1));
        EXPECT_THROW(WebSocketClient("ws://127.0.0.1:1", {}, {}, bad), std::invalid_argument);
    }
    options.requestHeaders.add("Authorization", "Bearer a.b~c");
    options.requestHeaders.add("x!#$%&'*+-.^_`|~9", "");
    options.requestHeaders.add("cookie", "a=1; b=\"2\"\t");
    Peer server;
    server.address = "::1";
    Connection c(&server);
    c.start(c.url("ws", "[::1]") + "/x?y=1", {"chat", "v2"}, options);
    std::string request = c.server.acceptUpgrade("Sec-WebSocket-Protocol: v2\r\nX-Id: 7\r\n");
    EXPECT_EQ(request.replace(request.find("Key: ") + 5, 24, "KEY"),
              "GET /x?y=1 HTTP/1.1\r\nHost: [::1]\r\nUpgrade: websocket\r\nConnection: keep-alive, "
              "Upgrade\r\nSec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n"
              "Sec-WebSocket-Protocol: chat, v2\r\nAuthorization: Bearer a.b~c\r\n"
              "x!#$%&'*+-.^_`|~9: \r\ncookie: a=1; b=\"2\"\t\r\n\r\n");
    ASSERT_TRUE(c.events.waitFor("open"));
    std::string logged;  // the host's header values stay out of the log
    for (const std::string& line : c.logs.all())
        logged += line;
    EXPECT_EQ(logged.find("Bearer"), std::string::npos);
    EXPECT_NE(logged.find("\r\nAuthorization: (not logged)\r\n"), std::string::npos);
    const auto identity = c.client->identity();
    EXPECT_EQ(identity.peerAddress + " " + std::to_string(identity.peerPort) + " " +
                  identity.target + " " + identity.subprotocol + " " +
                  *identity.headers.find("x-id"),
              "::1 " + std::to_string(server.port()) + " /x?y=1 v2 7");
    EXPECT_EQ(
        c.logs.count("info [WebSocketClient] Connect: [::1]:" + std::to_string(server.port())), 1u);
}

TEST(Client, TlsTrustAndHostNames) {
    const Certificates& certs = Certificates::get();
    const std::string d = certs.dir, hidden = d + "private.pem", hiddenKey = d + "private.key";
    const TLSOptions byFile{d + "ca2.pem", "", "", ""}, byDirectory{"", d + "ca2", "", ""},
        mine{"", "", d + "client.pem", d + "client.key"}, tls13{"", "", "", "", true};
    const std::string failed = "certificate verify failed (SSL routines): ",
                      mismatch = failed + "hostname mismatch (checked \"localhost\")",
                      ipMismatch = failed + "IP address mismatch (checked \"127.0.0.1\")",
                      selfSigned = failed + "self-signed certificate",
                      expired = failed + "certificate has expired";
    struct Row {
        std::string scheme, host, certificate, key, trustStore;
        TLSOptions tls = {};
        std::string clientCa = "";
        // or "TLSv1.x <server name sent>"
        std::string outcome =
            "certificate verify failed (SSL routines): unable to get local "
            "issuer certificate";
    } rows[] = {
        {"wss", "localhost", certs.cert, certs.key, certs.ca, {}, "", "TLSv1.2 localhost"},
        {"https", "127.0.0.1", certs.cert, certs.key, certs.ca, {}, "", "TLSv1.2 "},
        {"WsS", "localhost", certs.cert, certs.key, certs.ca, {}, "", "TLSv1.2 localhost"},
        {"wss", "localhost", certs.otherCert, certs.otherKey, certs.ca, {}, "", mismatch},
        {"wss", "127.0.0.1", certs.otherCert, certs.otherKey, certs.ca, {}, "", ipMismatch},
        {"wss", "localhost", certs.ca, d + "ca.key", "/nonexistent", {}, "", selfSigned},
        {"wss", "localhost", d + "expired.pem", d + "expired.key", certs.ca, {}, "", expired},
        {"wss", "localhost", certs.cert, certs.key, "/nonexistent"},  // nobody vouches for it
        {"wss", "localhost", hidden, hiddenKey, certs.ca},            // its CA is not trusted
        {"wss", "localhost", hidden, hiddenKey, certs.ca, byFile, "", "TLSv1.2 localhost"},
        {"wss", "127.0.0.1", hidden, hiddenKey, certs.ca, byDirectory, "", "TLSv1.2 "},
        {"wss", "localhost", certs.cert, certs.key, certs.ca, byFile},  // the store is replaced
        {"wss", "127.0.0.1", certs.cert, certs.key, certs.ca, tls13, "", "TLSv1.3 "},
        {"wss", "localhost", certs.cert, certs.key, certs.ca, mine, certs.ca, "TLSv1.2 localhost"},
        {"wss", "localhost", certs.cert, certs.key, certs.ca, {}, certs.ca, "sslv3 alert"},
    };
    for (const Row& row : rows) {
        setenv("SSL_CERT_FILE", row.trustStore.c_str(), 1);
        Peer server(row.certificate, row.key, row.clientCa);
        Connection c(&server);
        ConnectionOptions options;
        options.tls = row.tls;
        c.start(c.url(row.scheme, row.host), {}, options);
        if (row.outcome.rfind("TLS", 0) == 0) {
            ASSERT_TRUE(c.opened);
            EXPECT_EQ(c.server.tlsDetail(), row.outcome);
            c.server.acceptUpgrade();
            EXPECT_TRUE(c.events.waitFor("open")) << row.scheme << " " << row.host;
            EXPECT_TRUE(c.logs.waitFor("debug [WebSocketClient] SSL handshake successful"));
            c.client->setMaxMessageSize(3);
            if (row.tls.allowTLS13)
                c.server.keyUpdate();  // read with new keys; answered before our Close
            c.server.write(frame(1, bytesOf("four"), false));
            EXPECT_TRUE(c.events.waitFor("error:Message too big"));
            EXPECT_EQ(c.server.readFrames(1), std::vector<std::string>{"8:\x03\xF1"});
        } else {
            EXPECT_TRUE(c.events.waitFor("error:" + row.outcome, true)) << &row - rows;
            EXPECT_TRUE(c.logs.waitFor(
                "error [WebSocketClient] SSL handshake error: " + row.outcome, true));
        }
    }
    setenv("SSL_CERT_FILE", certs.ca.c_str(), 1);
    {  // a peer resetting the connection under a stuck write: the write fails, reported
        Peer server(certs.cert, certs.key);
        Connection c(&server);
        c.start(c.url("wss", "localhost"));
        c.server.acceptUpgrade();
        ASSERT_TRUE(c.events.waitFor("open"));
        c.client->send(Bytes(32 << 20), false, 0);
        c.server.reset();
        EXPECT_TRUE(c.events.waitFor("error:", true));
    }
    ConnectionOptions options;
    const TLSOptions missing[] = {{"/none/ca.pem", "", "", ""}, {"", "", certs.cert, "/none/k"}};
    for (const TLSOptions& tls : missing) {
        options.tls = tls;
        EXPECT_EQ(
            thrownText([&] { WebSocketClient("wss://localhost:1", {}, {}, options); }),
            (tls.caFile.empty() ? "TLS private key file /none/k" : "TLS CA file /none/ca.pem") +
                std::string(": No such file or directory"));
    }
}

}  // namespace
