// The UDP endpoint against plain loopback sockets: delivery, truncation, the sender filter,
// refused sends, restarts and the exact log lines; and the extension's entry point.
#include <gtest/gtest.h>

#include "Support.h"
#include "tidewire/TidewireExtension.h"
#include "tidewire/UDPServer.h"

namespace {

using namespace tidewire_test;
using asio::ip::udp;

struct Delegate : UDPServerDelegate {
    Recorder received;
    bool throwOnce = false;
    void onMessageReceived(const char* data, size_t size) override {
        received.add(std::string(data, size));
        if (std::exchange(throwOnce, false))
            throw std::runtime_error("boom");
    }
};

struct Socket {
    asio::io_context io;
    udp::socket socket{io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
    unsigned short port() const { return socket.local_endpoint().port(); }
    void sendTo(unsigned short port, const std::string& text) {
        socket.send_to(asio::buffer(text),
                       udp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    }
};

TEST(Udp, ReceiveOnlyDeliversTruncatesAndSurvivesItsDelegate) {
    LogRecorder logs;
    Delegate delegate;
    delegate.throwOnce = true;
    UDPServer server(0);
    server.setDelegate(&delegate);
    EXPECT_EQ(server.getDelegate(), &delegate);
    server.start();
    server.start();
    EXPECT_EQ(server.send("x", 1), 1);
    Socket peer;
    for (const std::string& text :
         {std::string("first"), std::string(), std::string(2000, 'z'), std::string("last")}) {
        peer.sendTo(server.boundPort(), text);
    }
    ASSERT_TRUE(delegate.received.waitFor("last"));
    EXPECT_EQ(delegate.received.all(),
              (std::vector<std::string>{"first", std::string(1024, 'z'), "last"}));
    server.stop();
    for (const char* line : {"info [UDPServer] Starting on port 0",
                             "debug [UDPServer] Received message on port 0: first",
                             "error [UDPServer] Error: Delegate threw on port 0: boom",
                             "error [UDPServer] Zero bytes received",
                             "error [UDPServer] Error: Trying to send on receive-only UDP server",
                             "info [UDPServer] Stopping on port 0"}) {
        EXPECT_EQ(logs.count(line), 1u) << line;
    }
}

TEST(Udp, SendingModeTalksToItsRemoteOnlyAndRestarts) {
    LogRecorder logs;
    Delegate delegate;
    Socket remote, stranger;
    UDPServer server("127.0.0.1", remote.port(), 0);
    server.setDelegate(&delegate);
    EXPECT_EQ(server.send("x", 1), 2);
    for (int round = 0; round < 2; ++round) {
        server.start();
        char buffer[64];
        udp::endpoint from;
        EXPECT_EQ(server.send("hello", 5), 0);
        const size_t n = remote.socket.receive_from(asio::buffer(buffer), from);
        EXPECT_EQ(std::string(buffer, n), "hello");
        EXPECT_EQ(from.port(), server.boundPort());
        stranger.sendTo(server.boundPort(), "intruder");
        remote.sendTo(server.boundPort(), "reply" + std::to_string(round));
        ASSERT_TRUE(delegate.received.waitFor("reply" + std::to_string(round)));
        server.stop();
    }
    EXPECT_EQ(delegate.received.all(), (std::vector<std::string>{"reply0", "reply1"}));
    const std::string remoteText = "127.0.0.1:" + std::to_string(remote.port());
    EXPECT_EQ(
        logs.count("error [UDPServer] Remote sender endpoint 127.0.0.1:" +
                   std::to_string(stranger.port()) + " is different than specified: " + remoteText),
        2u);
    EXPECT_EQ(logs.count("debug [UDPServer] Sending message on port 0 to " + remoteText), 2u);
    EXPECT_EQ(logs.count("error [UDPServer] Error: Trying to send on a stopped UDP server"), 1u);
    EXPECT_TRUE(logs.waitFor("debug [UDPServer] Sent 5 bytes to " + remoteText));

    UDPServer unspecified("0.0.0.0", 9, 0);
    unspecified.start();
    EXPECT_EQ(unspecified.send("x", 1), 3);
    EXPECT_EQ(logs.count("error [UDPServer] Error: No remote endpoint available to send data"), 1u);
    EXPECT_THROW(UDPServer("localhost", 9, 0), std::system_error);
}

TEST(TidewireExtension, InitializeLogsItsLineAtDebugEachTime) {
    LogRecorder log;
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    const std::string line = "debug Initialized Relaymatrix Extension -- Tidewire --";
    EXPECT_EQ(log.all(), (std::vector<std::string>{line, line}));
}

}  // namespace
