// The UDP endpoint against plain loopback sockets: delivery, truncation, the sender filter,
// refused sends, restarts and the exact log lines; and the extension's entry point.
#include <gtest/gtest.h>

#include <future>
#include <thread>

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

// Records what the options path hands over; answers each datagram to its sender when asked.
struct Answering : UDPServerDelegate {
    Recorder got;
    UDPServer* server = nullptr;
    int flushOnWorker = -1;
    bool marked = false;
    std::promise<int> marker;  // n of the first "end<n>" datagram received
    void onMessageReceived(const char*, size_t size) override { got.add(std::to_string(size)); }
    void onDatagramReceived(const UDPDatagram& d) override {
        const std::string text(d.data(), d.size());
        if (text.rfind("end", 0) == 0 && !std::exchange(marked, true))
            return marker.set_value(std::stoi(text.substr(3)));
        if (server != nullptr) {
            EXPECT_EQ(server->sendTo(d.senderAddress(), d.senderPort(), d.data(), d.size()), 0);
            flushOnWorker = server->flush();
        }
        got.add(std::to_string(d.size()) + "/" + std::to_string(d.length()) + " " +
                d.senderAddress() + " " + std::to_string(d.senderPort()));
    }
};

UDPOptions optionsFor(const std::string& bind, size_t size, size_t batch) {
    return {bind, size, 1 << 20, 1 << 20, batch, batch, true};
}

TEST(UdpOptions, SizesAroundTheReceiveSizeArriveWithTheirSenderAndAreAnswered) {
    struct Row {
        bool withOptions;
        std::string bind, peer;
        size_t size, batch;
    };
    for (const Row& row : std::vector<Row>{{false, "", "127.0.0.1", 1024, 1},
                                           {true, "", "127.0.0.1", 1024, 1},
                                           {true, "127.0.0.1", "127.0.0.1", 65507, 3},
                                           {true, "::1", "::1", 100, 4},
                                           {true, "::", "127.0.0.1", 2000, 64},
                                           {true, "::", "::1", 65527, 3}}) {
        SCOPED_TRACE(row.bind + " " + std::to_string(row.size));
        LogRecorder logs;
        Answering delegate, peerDelegate;
        const size_t peerMax = row.peer == "::1" ? 65527 : 65507;
        std::string port;
        {
            auto server = row.withOptions ? std::make_unique<UDPServer>(
                                                0, optionsFor(row.bind, row.size, row.batch))
                                          : std::make_unique<UDPServer>(0);
            port = row.withOptions ? std::to_string(server->boundPort()) : "0";
            UDPServer peer(0, optionsFor(row.peer, peerMax, 2));
            peer.setDelegate(&peerDelegate);
            peer.start();
            std::vector<std::string> expected, replies;
            const std::string bytes(peerMax, 'u');
            // Queued before the server starts: its first receive fills a batch, or half of one.
            for (size_t size : {size_t{1}, row.size - 1, row.size, row.size + 1}) {
                if (size > peerMax)
                    continue;
                EXPECT_EQ(peer.sendTo(row.peer, server->boundPort(), bytes.data(), size), 0);
                const std::string kept = std::to_string(std::min(size, row.size)),
                                  from = " " + row.peer + " ";
                expected.push_back(row.withOptions ? kept + "/" + std::to_string(size) + from +
                                                         std::to_string(peer.boundPort())
                                                   : kept);
                if (row.withOptions)
                    replies.push_back(kept + "/" + kept + from + port);
            }
            EXPECT_EQ(peer.flush(), 0);
            delegate.server = row.withOptions ? server.get() : nullptr;
            server->setDelegate(&delegate);
            server->start();
            ASSERT_TRUE(delegate.got.waitForCount(expected.size()));
            EXPECT_EQ(delegate.got.all(), expected);
            ASSERT_TRUE(peerDelegate.got.waitForCount(replies.size()));
            EXPECT_EQ(peerDelegate.got.all(), replies);
            EXPECT_EQ(delegate.flushOnWorker, row.withOptions ? 5 : -1);
            EXPECT_EQ(
                logs.count("error [UDPServer] Datagram truncated: " + std::to_string(row.size + 1) +
                           " bytes, kept " + std::to_string(row.size)),
                row.withOptions && row.size < peerMax ? 1u : 0u);
            EXPECT_EQ(logs.count("info [UDPServer] Starting on port " + port), 1u);
            server->stop();
        }
        // stop(), then the destructor's own stop()
        EXPECT_EQ(logs.count("info [UDPServer] Stopping on port " + port), 2u);
    }
}

TEST(UdpOptions, RefusesBadAddressesAndOptionsWithClearErrors) {
    LogRecorder logs;
    UDPServer server(0, optionsFor("127.0.0.1", 1024, 1));
    EXPECT_EQ(server.flush(), 2);
    EXPECT_EQ(server.sendTo("127.0.0.1", 9, "x", 1), 2);
    server.start();
    for (const char* address : {"localhost", "", "0.0.0.0", "::1", "[::1]"})
        EXPECT_EQ(server.sendTo(address, 9, "x", 1), 4) << address;
    for (int port : {0, 65536})
        EXPECT_EQ(server.sendTo("127.0.0.1", port, "x", 1), 4) << port;
    EXPECT_EQ(logs.count("error [UDPServer] Error: Not a usable destination: localhost port 9"),
              1u);
    EXPECT_EQ(UDPServer(0, UDPOptions()).sendTo("127.0.0.1", 9, "x", 1), 1);
    EXPECT_EQ(logs.count("error [UDPServer] Error: sendTo is not enabled on this UDP server"), 1u);
    EXPECT_EQ(server.flush(), 0);
    for (const UDPOptions& bad : std::vector<UDPOptions>{{"127.0.0.1", 65508, 0, 0, 1, 1, false},
                                                         {"::1", 65528, 0, 0, 1, 1, false},
                                                         {"", 1024, -1, 0, 1, 1, false},
                                                         {"", 1024, 0, 0, 65, 1, false},
                                                         {"", 1024, 0, 0, 1, 0, false}})
        EXPECT_THROW(UDPServer(0, bad), std::invalid_argument);
    EXPECT_THROW(UDPServer(0, optionsFor("localhost", 1024, 1)), std::system_error);
    EXPECT_THROW(UDPServer(0, optionsFor("192.0.2.1", 1024, 1)), std::system_error);
}

// Thousands queued from four threads, flushed, then the sender stopped: every datagram reached
// the kernel, and what a stopped receiver with a tiny buffer could not hold is in its drop
// count, which the kernel reports with the next datagram taken.
TEST(UdpOptions, FlushBeforeStopLosesNothingAndDropsAreCounted) {
    Answering counted, back;                                     // outlive both servers
    UDPServer receiver(0, {"127.0.0.1", 64, 1, 0, 8, 1, true});  // the smallest buffer
    receiver.setDelegate(&counted);
    UDPServer sender("127.0.0.1", receiver.boundPort(), 0, optionsFor("::", 64, 16));
    sender.start();
    constexpr int kThreads = 4, kEach = 600;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_EQ(t % 2 ? sender.send("d", 1)
                                : sender.sendTo("127.0.0.1", receiver.boundPort(), "d", 1),
                          0);
            }
            EXPECT_EQ(sender.flush(), 0);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    sender.stop();
    receiver.start();
    Socket marker;
    std::future<int> first = counted.marker.get_future();
    for (int sent = 1; first.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready;
         ++sent) {
        ASSERT_LT(sent, 100);
        marker.sendTo(receiver.boundPort(), "end" + std::to_string(sent));
    }
    // The markers before the first one received were dropped, and counted, too.
    const size_t delivered =
        counted.got.count("1/1 127.0.0.1 " + std::to_string(sender.boundPort()));
    EXPECT_GT(receiver.droppedDatagrams(), 0u);
    EXPECT_EQ(delivered + receiver.droppedDatagrams(),
              uint64_t{kThreads * kEach} + first.get() - 1);
    // A dual-stack sending-mode server knows its IPv4 remote when it answers.
    sender.setDelegate(&back);
    sender.start();
    EXPECT_EQ(receiver.sendTo("127.0.0.1", sender.boundPort(), "back", 4), 0);
    EXPECT_TRUE(back.got.waitFor("4/4 127.0.0.1 " + std::to_string(receiver.boundPort())));
}

TEST(TidewireExtension, InitializeLogsItsLineAtDebugEachTime) {
    LogRecorder log;
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    const std::string line = "debug Initialized Relaymatrix Extension -- Tidewire --";
    EXPECT_EQ(log.all(), (std::vector<std::string>{line, line}));
}

}  // namespace
