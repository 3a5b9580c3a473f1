// Interop with independent peers (node `ws`, headless Chromium, Python `websockets`), each
// run as a child process with the conversation of tests/interop: every size both ways,
// byte for byte, pings, and a close with 1000 from the side that drives; with compression
// (context takeover on and off) and without.
#include <gtest/gtest.h>

#include <cstdio>

#include "Support.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

namespace {

using namespace tidewire_test;
using namespace relaymatrix::extensions::tidewire;

const std::string dir = TIDEWIRE_INTEROP_DIR;
const std::string node = "timeout 120 node " + dir + "/peer.js ";
const std::string python = "timeout 120 /usr/bin/python3 " + dir + "/peer.py ";

// Compression for every message; "reset": without context takeover, both ways.
ConnectionOptions compressing(bool reset) {
    ConnectionOptions options;
    options.compression.enabled = true;
    options.compression.minimumMessageBytes = 0;
    options.compression.serverNoContextTakeover = options.compression.clientNoContextTakeover =
        reset;
    return options;
}

// Our servers choose the subprotocol "chat" and serve only pages of http://allowed.test; the
// mutual-TLS one serves only clients with a certificate of the test CA. The plain one
// compresses with context takeover, the TLS one without, the mutual-TLS one not at all.
TEST(Interop, PeersDriveOurServer) {
    const Certificates& certs = Certificates::get();
    WebSocketServer plain(0), tls(0, certs.cert, certs.key), mutual("::", 0, certs.cert, certs.key);
    TLSOptions requireCertificates;
    requireCertificates.caFile = certs.ca;
    requireCertificates.requireClientCertificate = true;
    mutual.setTLSOptions(requireCertificates);
    plain.setConnectionOptions(compressing(false));
    tls.setConnectionOptions(compressing(true));
    Recorder subjects;
    for (WebSocketServer* server : {&plain, &tls, &mutual}) {
        server->setSubprotocols({"chat"});
        server->setAllowedOrigins({"http://allowed.test"});
        server->onNewSession([&subjects](WebSocketSession& session) {
            subjects.add(session.identity().peerCertificateSubject);
            session.onOwnedMessageHandler = [&session](Bytes&& b, bool isText) {
                session.send(std::move(b), isText, 0);  // large ones written from `b` itself
            };
        });
        server->start();
    }
    const std::string ws = "ws://127.0.0.1:" + std::to_string(plain.boundPort()) + "/chat";
    const std::string wss = "wss://localhost:" + std::to_string(tls.boundPort()) + "/chat";
    const std::string mtls = "wss://localhost:" + std::to_string(mutual.boundPort()) + " ";
    for (const std::string& command :
         {node + "--deflate client " + ws, node + "--deflate-reset client " + wss + " " + certs.ca,
          python + "--deflate client " + ws, python + "--deflate-reset client " + ws,
          node + "--deflate browser " + ws + " " + wss,
          node + "client " + mtls + certs.ca + " " + certs.otherCert + " " + certs.otherKey}) {
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    EXPECT_NE(std::system((node + "client " + mtls + certs.ca + " 2>/dev/null").c_str()), 0);
    EXPECT_EQ(subjects.count("CN=other"), 1u);  // and the IPv4 client of "::" was served
}

TEST(Interop, OurClientDrivesPeers) {
    const Certificates& certs = Certificates::get();
    const std::vector<size_t> sizes = {0, 1, 125, 126, 65535, 65536, 1 << 20};
    for (const std::string& peer :
         {node + "--deflate server",
          node + "--deflate-reset server " + certs.cert + " " + certs.key, python + "server",
          python + "--deflate server", python + "--deflate-reset server"}) {
        FILE* child = popen(peer.c_str(), "r");
        char line[32] = {};
        ASSERT_NE(fgets(line, sizeof line, child), nullptr) << peer;
        const bool secure = peer.find(".pem") != std::string::npos;
        LogRecorder logs;
        Recorder events;
        WebSocketClient::Handlers h;
        h.onOpen = [&] { events.add("open"); };
        h.onClose = [&] { events.add("close"); };
        h.onError = [&](const std::string& e) { events.add("error:" + e); };
        h.onOwnedMessage = [&](Bytes&& b, bool isText) {
            events.add((isText ? "t" : "b") + textOf(b));
        };
        const bool deflate = peer.find("--deflate") != std::string::npos,
                   reset = peer.find("-reset") != std::string::npos;
        WebSocketClient client(
            (secure ? "wss://localhost:" : "ws://127.0.0.1:") + std::to_string(std::atoi(line)),
            {"chat"}, h, deflate ? compressing(reset) : ConnectionOptions());
        std::vector<std::string> expected = {"open"};
        for (size_t n : sizes) {
            std::string text(n, ' ');
            for (size_t i = 0; i < n; ++i)
                text[i] = static_cast<char>('a' + (i * 7 + n) % 26);
            client.send(bytesOf(text), true, 4096);
            client.send(bytesOf(text), false, 0);
            expected.insert(expected.end(), {"t" + text, "b" + text});
        }
        client.ping(bytesOf("are you there"));
        ASSERT_TRUE(events.waitForCount(expected.size())) << peer;
        EXPECT_EQ(client.identity().subprotocol, peer.rfind(node, 0) ? "" : "chat") << peer;
        const std::string extensions = client.identity().extensions;
        EXPECT_EQ(extensions.rfind("permessage-deflate", 0) == 0, deflate) << extensions;
        EXPECT_EQ(extensions.find("server_no_context_takeover") != std::string::npos, reset)
            << extensions;
        EXPECT_TRUE(logs.waitFor("debug [WebSocketClient] Received pong"));
        client.close({0x03, 0xE8});
        EXPECT_TRUE(events.waitFor("close")) << peer;
        expected.push_back("close");
        EXPECT_TRUE(events.all() == expected) << peer;
        EXPECT_EQ(pclose(child), 0) << peer;
    }
}

}  // namespace
