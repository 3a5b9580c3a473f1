#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogRecorder.h"
#include "tidewire/UDPServer.h"

using asio::ip::udp;
using tidewire_test::LogLevel;
using tidewire_test::LogRecorder;

namespace {

constexpr auto kWait = std::chrono::seconds(10);

// Collects datagrams handed to the delegate; waits are bounded.
class RecordingDelegate : public UDPServerDelegate {
public:
    void onMessageReceived(const char* data, size_t size) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(data, size);
        }
        changed_.notify_all();
    }

    bool waitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return messages_.size() >= count; });
    }

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> messages_;
};

// A plain blocking UDP socket on 127.0.0.1 standing in for the remote side.
class Peer {
public:
    Peer() : socket_(context_, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)) {
        timeval timeout{10, 0};  // bounds every receive
        setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    unsigned short port() const { return socket_.local_endpoint().port(); }

    void sendTo(unsigned short port, const std::string& bytes) {
        socket_.send_to(asio::buffer(bytes.data(), bytes.size()),
                        udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
    }

    std::optional<std::string> receive() {
        char buffer[2048];
        udp::endpoint from;
        std::error_code ec;
        size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
        if (ec) {
            return std::nullopt;
        }
        return std::string(buffer, n);
    }

private:
    asio::io_context context_;
    udp::socket socket_;
};

std::string endpointText(unsigned short port) {
    return "127.0.0.1:" + std::to_string(port);
}

}  // namespace

TEST(UDPServerRefusals, ReceiveOnlyRefusesEverySendWithCodeOne) {
    LogRecorder log;
    UDPServer server(0);
    const std::string line = "[UDPServer] Error: Trying to send on receive-only UDP server";
    EXPECT_EQ(server.send("x", 1), 1);
    server.start();
    EXPECT_EQ(server.send("x", 1), 1);
    server.stop();
    EXPECT_EQ(log.count(LogLevel::error, line), 2u);
    EXPECT_EQ(log.countPrefix(LogLevel::error, "[UDPServer] Error: Trying to send on a stopped"),
              0u);
}

TEST(UDPServerRefusals, SendingModeRefusesBeforeStartAndAfterStopWithCodeTwo) {
    LogRecorder log;
    Peer peer;
    UDPServer server("127.0.0.1", peer.port(), 0);
    EXPECT_EQ(server.send("x", 1), 2);
    server.start();
    server.stop();
    EXPECT_EQ(server.send("x", 1), 2);
    EXPECT_EQ(
        log.count(LogLevel::error, "[UDPServer] Error: Trying to send on a stopped UDP server"),
        2u);
}

TEST(UDPServerRefusals, UnspecifiedRemoteRefusesWithCodeThreeAndDropsDatagrams) {
    for (const std::string remote : {"0.0.0.0", "::"}) {
        SCOPED_TRACE(remote);
        LogRecorder log;
        RecordingDelegate delegate;
        UDPServer server(remote, 9, 0);
        server.setDelegate(&delegate);
        server.start();
        EXPECT_EQ(server.send("x", 1), 3);
        EXPECT_EQ(log.count(LogLevel::error,
                            "[UDPServer] Error: No remote endpoint available to send data"),
                  1u);
        Peer peer;
        peer.sendTo(server.boundPort(), "dropped");
        EXPECT_TRUE(log.waitForPrefix(LogLevel::error, "[UDPServer] Remote sender endpoint " +
                                                           endpointText(peer.port()) +
                                                           " is different than specified: "));
        server.stop();
        EXPECT_TRUE(delegate.messages().empty());
    }
}

TEST(UDPServerConstruction, FailuresThrowSystemErrors) {
    UDPServer first(0);
    EXPECT_THROW(UDPServer(first.boundPort()), std::system_error);
    try {
        UDPServer server("not-an-address", 9000, 0);
        FAIL() << "expected a system_error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument);
    }
    EXPECT_THROW(UDPServer("localhost", 9000, 0), std::system_error);  // no name lookup
}

TEST(UDPServerLifecycle, DestroyingANeverStartedServerLogsItsStopLine) {
    LogRecorder log;
    { UDPServer server(0); }
    EXPECT_EQ(
        log.lines(),
        (std::vector<tidewire_test::LogLine>{{LogLevel::info, "[UDPServer] Stopping on port 0"}}));
}

TEST(UDPServerLifecycle, PortOutsideTheRangeKeepsItsLowBitsAndLogsTheIntUnchanged) {
    LogRecorder log;
    UDPServer server(65536);
    EXPECT_NE(server.boundPort(), 0);
    server.start();
    server.stop();
    EXPECT_EQ(log.count(LogLevel::info, "[UDPServer] Starting on port 65536"), 1u);
    EXPECT_EQ(log.count(LogLevel::info, "[UDPServer] Stopping on port 65536"), 1u);
}

TEST(UDPServerLifecycle, StartsAgainAfterStopAndIgnoresASecondStart) {
    LogRecorder log;
    Peer peer;
    RecordingDelegate delegate;
    UDPServer server("127.0.0.1", peer.port(), 0);
    server.setDelegate(&delegate);
    server.start();
    server.start();  // already running: nothing happens
    EXPECT_EQ(log.count(LogLevel::info, "[UDPServer] Starting on port 0"), 1u);
    peer.sendTo(server.boundPort(), "one");
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();

    server.start();
    peer.sendTo(server.boundPort(), "two");
    ASSERT_TRUE(delegate.waitForCount(2));
    EXPECT_EQ(server.send("back", 4), 0);
    EXPECT_EQ(peer.receive(), "back");
    EXPECT_TRUE(log.waitForLine(LogLevel::debug,
                                "[UDPServer] Sent 4 bytes to " + endpointText(peer.port())));
    server.stop();
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"one", "two"}));
    // A restart must not leave two receives armed: each datagram is reported once.
    EXPECT_EQ(log.countPrefix(LogLevel::debug, "[UDPServer] Received message on port 0: "), 2u);
}

TEST(UDPServerReceive, DeliversDatagramsAndLogsTheirBytesIncludingNul) {
    LogRecorder log;
    RecordingDelegate delegate;
    UDPServer server(0);
    server.setDelegate(&delegate);
    EXPECT_EQ(server.getDelegate(), &delegate);
    server.start();
    Peer peer;
    const std::string withNul("a\0b\n", 4);
    peer.sendTo(server.boundPort(), withNul);
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(delegate.messages().at(0), withNul);
    EXPECT_EQ(log.count(LogLevel::debug, "[UDPServer] Received message on port 0: " + withNul), 1u);
}

TEST(UDPServerReceive, EmptyDatagramIsLoggedAndNotDelivered) {
    LogRecorder log;
    RecordingDelegate delegate;
    UDPServer server(0);
    server.setDelegate(&delegate);
    server.start();
    Peer peer;
    peer.sendTo(server.boundPort(), "");
    peer.sendTo(server.boundPort(), "after");
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(log.count(LogLevel::error, "[UDPServer] Zero bytes received"), 1u);
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"after"}));
}

TEST(UDPServerReceive, LongDatagramIsCutTo1024Bytes) {
    RecordingDelegate delegate;
    UDPServer server(0);
    server.setDelegate(&delegate);
    server.start();
    Peer peer;
    std::string big(1500, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7);
    }
    peer.sendTo(server.boundPort(), big);
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(delegate.messages().at(0), big.substr(0, 1024));
}

TEST(UDPServerReceive, WithoutDelegateDatagramsAreStillLogged) {
    LogRecorder log;
    UDPServer server(0);
    server.start();
    Peer peer;
    peer.sendTo(server.boundPort(), "nobody listens");
    EXPECT_TRUE(
        log.waitForLine(LogLevel::debug, "[UDPServer] Received message on port 0: nobody listens"));
    server.stop();
}

TEST(UDPServerReceive, ForeignSenderOnAnotherPortIsDropped) {
    LogRecorder log;
    RecordingDelegate delegate;
    Peer remote;
    Peer stranger;
    UDPServer server("127.0.0.1", remote.port(), 0);
    server.setDelegate(&delegate);
    server.start();
    stranger.sendTo(server.boundPort(), "intruder");
    remote.sendTo(server.boundPort(), "welcome");
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"welcome"}));
    EXPECT_EQ(log.count(LogLevel::error,
                        "[UDPServer] Remote sender endpoint " + endpointText(stranger.port()) +
                            " is different than specified: " + endpointText(remote.port())),
              1u);
}

TEST(UDPServerReceive, ADelegateThatThrowsDoesNotStopTheServer) {
    struct Throwing : UDPServerDelegate {
        RecordingDelegate inner;
        void onMessageReceived(const char* data, size_t size) override {
            inner.onMessageReceived(data, size);
            throw std::runtime_error("host bug");
        }
    } delegate;
    LogRecorder log;
    UDPServer server(0);
    server.setDelegate(&delegate);
    server.start();
    Peer peer;
    peer.sendTo(server.boundPort(), "1");
    peer.sendTo(server.boundPort(), "2");
    ASSERT_TRUE(delegate.inner.waitForCount(2));
    server.stop();
    EXPECT_EQ(
        log.countPrefix(LogLevel::error, "[UDPServer] Error: Delegate threw on port 0: host bug"),
        2u);
}

TEST(UDPServerSend, SendsACopyAndLogsSendingAndSent) {
    LogRecorder log;
    Peer peer;
    UDPServer server("127.0.0.1", peer.port(), 0);
    server.start();
    std::string buffer = "hello";
    EXPECT_EQ(server.send(buffer.data(), buffer.size()), 0);
    buffer.assign("XXXXX");  // the caller may reuse its bytes at once
    EXPECT_EQ(server.send(buffer.data(), 0), 0);
    EXPECT_EQ(peer.receive(), "hello");
    EXPECT_EQ(peer.receive(), "");
    const std::string remote = endpointText(peer.port());
    EXPECT_TRUE(log.waitFor([&](const std::vector<tidewire_test::LogLine>& lines) {
        size_t sent = 0;
        for (const auto& line : lines) {
            sent += line.text.rfind("[UDPServer] Sent ", 0) == 0 ? 1 : 0;
        }
        return sent == 2;
    }));
    server.stop();
    EXPECT_EQ(log.count(LogLevel::debug, "[UDPServer] Sending message on port 0 to " + remote), 2u);
    EXPECT_EQ(log.count(LogLevel::debug, "[UDPServer] Sent 5 bytes to " + remote), 1u);
    EXPECT_EQ(log.count(LogLevel::debug, "[UDPServer] Sent 0 bytes to " + remote), 1u);
}

TEST(UDPServerSend, IPv6RemoteOnTheIPv4SocketFailsEachSendAndDropsDatagrams) {
    LogRecorder log;
    UDPServer server("::1", 9000, 0);
    server.start();
    EXPECT_EQ(server.send("x", 1), 0);
    EXPECT_TRUE(log.waitForPrefix(LogLevel::error, "[UDPServer] Error sending data on port 0: "));
    Peer peer;
    peer.sendTo(server.boundPort(), "v4");
    EXPECT_TRUE(log.waitForLine(LogLevel::error, "[UDPServer] Remote sender endpoint " +
                                                     endpointText(peer.port()) +
                                                     " is different than specified: [::1]:9000"));
    server.stop();
}

TEST(UDPServerSend, DelegateRepliesFromInsideTheCallback) {
    Peer peer;
    UDPServer server("127.0.0.1", peer.port(), 0);
    struct Echo : UDPServerDelegate {
        UDPServer* server = nullptr;
        std::atomic<int> lastResult{-1};
        void onMessageReceived(const char* data, size_t size) override {
            lastResult = server->send(data, size);  // data is only valid during the call
        }
    } echo;
    echo.server = &server;
    server.setDelegate(&echo);
    server.start();
    peer.sendTo(server.boundPort(), "ping");
    EXPECT_EQ(peer.receive(), "ping");
    server.stop();
    EXPECT_EQ(echo.lastResult.load(), 0);
}

TEST(UDPServerSend, ConcurrentSendsFromHostThreadsWhileReceiving) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    Peer peer;
    RecordingDelegate delegate;
    UDPServer server("127.0.0.1", peer.port(), 0);
    server.setDelegate(&delegate);
    server.start();

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&server, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                EXPECT_EQ(server.send(text.data(), text.size()), 0);
            }
        });
    }
    // The worker receives meanwhile, and the delegate pointer is swapped under it.
    std::thread swapper([&] {
        for (int i = 0; i < 100; ++i) {
            server.setDelegate(i % 2 ? nullptr : &delegate);
        }
        server.setDelegate(&delegate);
    });
    std::set<std::string> received;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        auto datagram = peer.receive();
        ASSERT_TRUE(datagram.has_value());
        received.insert(*datagram);
        if (i % 10 == 0) {
            peer.sendTo(server.boundPort(), "from peer");
        }
    }
    for (auto& sender : senders) {
        sender.join();
    }
    swapper.join();
    peer.sendTo(server.boundPort(), "last");
    EXPECT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(received.size(), static_cast<size_t>(kThreads * kPerThread));
}
