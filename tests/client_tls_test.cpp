#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ClientHarness.h"
#include "TestCertificates.h"

using namespace tidewire_test;

namespace {

std::string t(const std::string& text) {
    return std::string(ClientHarness::tag) + text;
}

// A TLS scripted peer with the given certificate; the client trusts the test CA through
// OpenSSL's default verify locations.
struct ClientTls : ::testing::Test {
    using Client = ClientHarness::Client;

    void SetUp() override { TestCertificates::trustTestCa(); }
    void TearDown() override { SSL_CTX_free(peerContext); }

    ScriptedPeer& makePeer(const std::string& certificateFile, const std::string& keyFile) {
        peerContext = makePeerTlsContext(certificateFile, keyFile);
        peer = std::make_unique<ScriptedPeer>(peerContext);
        return *peer;
    }

    // Expects the TLS handshake to fail: one error line with the fixed prefix, the bare
    // message to the host, then the connection closed.
    void expectTlsFailure() {
        ASSERT_TRUE(log.waitForLine(LogLevel::debug, t("Connection closed")));
        client.reset();
        const std::vector<std::string> errors = log.texts(LogLevel::error);
        ASSERT_EQ(errors.size(), 1u);
        const std::string prefix = t("SSL handshake error: ");
        ASSERT_EQ(errors[0].compare(0, prefix.size(), prefix), 0) << errors[0];
        EXPECT_EQ(events.events(),
                  std::vector<std::string>{"error:" + errors[0].substr(prefix.size())});
    }

    LogRecorder log;
    SessionEvents events;
    SSL_CTX* peerContext = nullptr;
    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<Client> client;
};

}  // namespace

TEST_F(ClientTls, TrustedCertificateForTheHostNameOpensAndCarriesMessages) {
    const TestCertificates& certificates = TestCertificates::get();
    ScriptedPeer& server = makePeer(certificates.serverCertFile, certificates.serverKeyFile);
    client = std::make_unique<Client>(server.url("/feed", "wss", "localhost"),
                                      std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(server.accept());
    const std::string request = server.readRequest();
    EXPECT_EQ(request.substr(0, request.find("Upgrade:")),
              "GET /feed HTTP/1.1\r\nHost: localhost\r\n");
    ASSERT_TRUE(server.send(switchingProtocols(request) + frameBytes(true, 0x1, "secure")));
    ASSERT_TRUE(events.waitFor("text:secure"));
    client->send({'o', 'k'}, false, 1);
    PeerFrame frame;
    ASSERT_TRUE(server.readFrame(frame));
    ASSERT_TRUE(server.readFrame(frame));
    EXPECT_TRUE(frame.fin);
    EXPECT_EQ(frame.payload, std::vector<uint8_t>{'k'});
    EXPECT_EQ(log.count(LogLevel::debug, t("SSL handshake successful")), 1u);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST_F(ClientTls, HttpsSchemeAndAnIpAddressHostVerifyAgainstTheAddress) {
    const TestCertificates& certificates = TestCertificates::get();
    ScriptedPeer& server = makePeer(certificates.serverCertFile, certificates.serverKeyFile);
    client = std::make_unique<Client>(server.url("/", "https", "127.0.0.1"),
                                      std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(server.send(switchingProtocols(server.readRequest())));
    EXPECT_TRUE(events.waitFor("open"));
}

TEST_F(ClientTls, CertificateForAnotherHostNameFails) {
    const TestCertificates& certificates = TestCertificates::get();
    ScriptedPeer& server = makePeer(certificates.otherHostCertFile, certificates.serverKeyFile);
    client = std::make_unique<Client>(server.url("/", "wss", "localhost"),
                                      std::vector<std::string>{}, events.handlers());
    EXPECT_FALSE(server.accept());
    expectTlsFailure();
}

TEST_F(ClientTls, CertificateFromAnUntrustedCaFails) {
    const TestCertificates& certificates = TestCertificates::get();
    ScriptedPeer& server = makePeer(certificates.untrustedCertFile, certificates.untrustedKeyFile);
    client = std::make_unique<Client>(server.url("/", "wss", "localhost"),
                                      std::vector<std::string>{}, events.handlers());
    EXPECT_FALSE(server.accept());
    expectTlsFailure();
}

TEST_F(ClientTls, PlainServerBehindAWssUrlFails) {
    peer = std::make_unique<ScriptedPeer>();
    client = std::make_unique<Client>(peer->url("/", "wss", "localhost"),
                                      std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(peer->accept());
    peer->send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    expectTlsFailure();
}

TEST_F(ClientTls, FourThreadsSendingMultiFrameMessagesArriveWholeAndInOrder) {
    const TestCertificates& certificates = TestCertificates::get();
    ScriptedPeer& server = makePeer(certificates.serverCertFile, certificates.serverKeyFile);
    client = std::make_unique<Client>(server.url("/", "wss", "localhost"),
                                      std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(server.accept());
    // Frames from the server keep the reader busy on the same TLS stream meanwhile.
    std::string fromServer;
    for (int i = 0; i < 200; ++i) {
        fromServer += frameBytes(true, 0x9, "p");
    }
    ASSERT_TRUE(server.send(switchingProtocols(server.readRequest()) + fromServer));
    ASSERT_TRUE(events.waitFor("open"));

    constexpr int threads = 4;
    constexpr int messagesPerThread = 150;
    std::vector<std::thread> senders;
    for (int s = 0; s < threads; ++s) {
        senders.emplace_back([this, s] {
            for (int i = 0; i < messagesPerThread; ++i) {
                std::string text = std::to_string(s) + ":" + std::to_string(i) + ":";
                text.resize(1000 + 37 * s, static_cast<char>('a' + s));
                client->send(std::vector<uint8_t>(text.begin(), text.end()), s % 2 == 0, 128);
            }
        });
    }
    std::vector<int> next(threads, 0);
    int pongs = 0;
    int messages = 0;
    while (messages < threads * messagesPerThread) {
        PeerFrame frame;
        ASSERT_TRUE(server.readFrame(frame));
        if (frame.opcode == 0xA) {
            ++pongs;
            continue;
        }
        ASSERT_TRUE(frame.opcode == 0x1 || frame.opcode == 0x2);
        std::string message(frame.payload.begin(), frame.payload.end());
        while (!frame.fin) {
            ASSERT_TRUE(server.readFrame(frame));
            if (frame.opcode == 0xA) {
                ++pongs;  // control frames may come between a message's frames
                frame.fin = false;
                continue;
            }
            ASSERT_EQ(frame.opcode, 0x0) << "another message began inside a message";
            message.append(frame.payload.begin(), frame.payload.end());
        }
        const int sender = message[0] - '0';
        ASSERT_EQ(message.size(), static_cast<size_t>(1000 + 37 * sender));
        EXPECT_EQ(std::stoi(message.substr(2)), next[sender]++);
        EXPECT_EQ(message.back(), static_cast<char>('a' + sender));
        ++messages;
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    while (pongs < 200) {
        PeerFrame frame;
        ASSERT_TRUE(server.readFrame(frame));
        EXPECT_EQ(frame.opcode, 0xA);
        ++pongs;
    }
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}
