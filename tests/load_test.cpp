// A thousand sessions open at once on one server, each exchanging messages with its own
// client and then closing: nothing lost, every connection's order kept, the registry empty at
// the end. The clients are raw loopback connections driven by one event loop on the test
// thread, so the test needs no thread per client.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostilePeers.h"
#include "RawClient.h"
#include "ServerHarness.h"
#include "relaymatrix/LogCapture.h"
#include "tidewire/Handshake.h"

using namespace tidewire_test;
using asio::ip::tcp;
using relaymatrix::testing::LogLevel;

namespace {

constexpr size_t clientCount = 1000;
constexpr size_t messagesEach = 8;
constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string removedPrefix =
    "[WebSocketServer] Session disconnected and removed - session ID: ";

// Message `m` of client `c`: it names both, then filler of a size that varies from message to
// message; every tenth client's last message is larger than the server's receive buffer.
std::string messageText(size_t c, size_t m) {
    const std::string head = std::to_string(c) + ":" + std::to_string(m) + ":";
    const size_t filler =
        (m + 1 == messagesEach && c % 10 == 0) ? 20000 + c : (c * 7 + m * 13) % 300;
    return head + std::string(filler, static_cast<char>('a' + (c + m) % 26));
}

// Counts removal lines and keeps error lines, and lets the test wait for a count.
class LogCounter {
public:
    LogCounter() {
        relaymatrix::testing::setLogSink([this](LogLevel level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            if (text.rfind(removedPrefix, 0) == 0) {
                ++removals;
                changed.notify_all();
            } else if (level == LogLevel::error) {
                errors.push_back(text);
            }
        });
    }
    ~LogCounter() { relaymatrix::testing::setLogSink({}); }

    bool waitForRemovals(size_t count, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return removals >= count; });
    }
    size_t removalCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return removals;
    }
    std::vector<std::string> errorLines() {
        std::lock_guard<std::mutex> lock(mutex);
        return errors;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    size_t removals = 0;
    std::vector<std::string> errors;
};

// What the clients have reached; touched on the test thread only.
struct Progress {
    size_t opened = 0;
    size_t echoed = 0;
    size_t closed = 0;
    std::vector<std::string> failures;
};

// One client connection, plain or TLS (without certificate checks), moved through its phases
// by the test's event loop: open (connect, TLS handshake, upgrade request, 101), exchange (all
// messages written at once, the echoes read and checked in order), close (Close frame, its echo,
// end of stream).
class LoadClient {
public:
    // `context` is used only when `useTls` is set.
    LoadClient(asio::io_context& io, asio::ssl::context& context, bool useTls, uint16_t port,
               size_t index, Progress& progress)
        : stream(io, context),
          useTls(useTls),
          endpoint(asio::ip::address_v4::loopback(), port),
          index(index),
          progress(progress) {}

    void open() {
        stream.next_layer().async_connect(endpoint, [this](const std::error_code& ec) {
            if (ec) {
                return fail("connect", ec);
            }
            if (!useTls) {
                return upgrade();
            }
            stream.async_handshake(asio::ssl::stream_base::client,
                                   [this](const std::error_code& ec) {
                                       if (ec) {
                                           return fail("TLS handshake", ec);
                                       }
                                       upgrade();
                                   });
        });
    }

    void exchange() {
        outgoing.clear();
        for (size_t m = 0; m < messagesEach; ++m) {
            outgoing += clientFrame(true, 0x1, messageText(index, m));
        }
        write([this](const std::error_code& ec, size_t) {
            if (ec) {
                fail("send", ec);
            }
        });
        readFrames([this](const PeerFrame& frame) {
            const std::string expected = messageText(index, received);
            if (frame.opcode != 0x1 ||
                std::string(frame.payload.begin(), frame.payload.end()) != expected) {
                fail("echo " + std::to_string(received) + " differs");
                return false;
            }
            if (++received < messagesEach) {
                return true;
            }
            ++progress.echoed;
            return false;
        });
    }

    void close() {
        outgoing = clientFrame(true, 0x8, "\x03\xE8");
        write([this](const std::error_code& ec, size_t) {
            if (ec) {
                fail("close", ec);
            }
        });
        readFrames([this](const PeerFrame& frame) {
            if (frame.opcode != 0x8 || frame.payload != std::vector<uint8_t>{0x03, 0xE8}) {
                fail("close echo differs");
                return false;
            }
            awaitEndOfStream();
            return false;
        });
    }

private:
    void upgrade() {
        outgoing = upgradeRequest(sampleKey);
        write([this](const std::error_code& ec, size_t) {
            if (ec) {
                fail("request", ec);
            }
        });
        readResponse();
    }

    void readResponse() {
        const size_t end = inbox.find("\r\n\r\n");
        if (end == std::string::npos) {
            readSome([this](const std::error_code& ec, size_t size) {
                if (ec) {
                    return fail("response", ec);
                }
                inbox.append(chunk, size);
                readResponse();
            });
            return;
        }
        if (inbox.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0) != 0) {
            return fail("response: " + inbox.substr(0, end));
        }
        inbox.erase(0, end + 4);
        ++progress.opened;
    }

    template <class Handler>
    void write(Handler handler) {
        if (useTls) {
            asio::async_write(stream, asio::buffer(outgoing), handler);
        } else {
            asio::async_write(stream.next_layer(), asio::buffer(outgoing), handler);
        }
    }

    template <class Handler>
    void readSome(Handler handler) {
        if (useTls) {
            stream.async_read_some(asio::buffer(chunk), handler);
        } else {
            stream.next_layer().async_read_some(asio::buffer(chunk), handler);
        }
    }

    // Hands every complete frame in `inbox` to `onFrame` while it returns true; reads more
    // when a frame is incomplete.
    template <class OnFrame>
    void readFrames(OnFrame onFrame) {
        PeerFrame frame;
        while (takeFrame(frame)) {
            if (!onFrame(frame)) {
                return;
            }
        }
        readSome([this, onFrame](const std::error_code& ec, size_t size) {
            if (ec) {
                return fail("read", ec);
            }
            inbox.append(chunk, size);
            readFrames(onFrame);
        });
    }

    // One unmasked server frame from the front of `inbox`, if it is all there.
    bool takeFrame(PeerFrame& frame) {
        if (inbox.size() < 2) {
            return false;
        }
        const auto b0 = static_cast<uint8_t>(inbox[0]);
        const auto b1 = static_cast<uint8_t>(inbox[1]);
        uint64_t length = b1 & 0x7F;
        const size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (inbox.size() < 2 + extended) {
            return false;
        }
        if (extended != 0) {
            length = 0;
            for (size_t i = 0; i < extended; ++i) {
                length = (length << 8) | static_cast<uint8_t>(inbox[2 + i]);
            }
        }
        const size_t header = 2 + extended;
        if (inbox.size() < header + length) {
            return false;
        }
        frame.fin = (b0 & 0x80) != 0;
        frame.opcode = b0 & 0x0F;
        frame.masked = (b1 & 0x80) != 0;
        frame.payload.assign(inbox.begin() + static_cast<long>(header),
                             inbox.begin() + static_cast<long>(header + length));
        inbox.erase(0, header + static_cast<size_t>(length));
        return true;
    }

    void awaitEndOfStream() {
        readSome([this](const std::error_code& ec, size_t) {
            // The server closes the socket without a TLS close notification.
            if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
                ++progress.closed;
            } else {
                fail("bytes after the close echo", ec);
            }
        });
    }

    void fail(const std::string& what, const std::error_code& ec = {}) {
        progress.failures.push_back("client " + std::to_string(index) + ": " + what +
                                    (ec ? " - " + ec.message() : std::string()));
    }

    asio::ssl::stream<tcp::socket> stream;
    const bool useTls;
    const tcp::endpoint endpoint;
    const size_t index;
    Progress& progress;
    std::string outgoing;  // owned by the write in flight
    std::string inbox;     // received, not yet taken
    char chunk[64 * 1024];
    size_t received = 0;  // echoes checked so far
};

void echoMessages(ServerHarness::Session& session, SessionEvents& events, unsigned int) {
    events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
        session.send(bytes, isText, 0);
    };
}

// Runs the loop until every handler has run, or the deadline passes.
void runLoop(asio::io_context& io) {
    io.restart();
    io.run_for(std::chrono::seconds(sanitizedBuild ? 240 : 60));
}

class Load : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Load, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

}  // namespace

TEST_P(Load, ThousandConcurrentSessionsExchangeInOrderAndAllClose) {
    const rlim_t descriptors = raiseDescriptorLimitToHard();
    if (descriptors < 2 * clientCount + 200) {
        GTEST_SKIP() << "needs " << 2 * clientCount + 200
                     << " open descriptors (a client and a session socket per connection); the "
                        "hard limit is "
                     << descriptors;
    }
    ::setenv("RELAYMATRIX_LOG_LEVEL", "error", 0);  // a thousand accept lines say nothing here
    LogCounter log;
    ServerHarness server(GetParam(), echoMessages);
    asio::io_context io;
    asio::ssl::context tls(asio::ssl::context::tlsv12_client);
    tls.set_verify_mode(asio::ssl::verify_none);
    Progress progress;
    std::vector<std::unique_ptr<LoadClient>> clients;
    for (size_t c = 0; c < clientCount; ++c) {
        clients.push_back(
            std::make_unique<LoadClient>(io, tls, GetParam(), server.port(), c, progress));
        clients.back()->open();
    }
    runLoop(io);
    ASSERT_EQ(progress.failures, std::vector<std::string>{});
    ASSERT_EQ(progress.opened, clientCount);
    ASSERT_EQ(server.sessionCount(), clientCount);
    for (unsigned int id = 0; id < clientCount; ++id) {
        ASSERT_NE(server->getSession(id), nullptr) << id;
    }

    for (auto& client : clients) {
        client->exchange();
    }
    runLoop(io);
    ASSERT_EQ(progress.failures, std::vector<std::string>{});
    ASSERT_EQ(progress.echoed, clientCount);

    // Each session saw its own client's messages, all of them, in the order sent.
    std::vector<bool> clientSeen(clientCount, false);
    for (unsigned int id = 0; id < clientCount; ++id) {
        const std::vector<std::string> events = server.session(id)->events();
        ASSERT_EQ(events.size(), 1 + messagesEach) << id;
        const std::string first = events[1];
        const size_t c = std::stoul(first.substr(5));
        ASSERT_LT(c, clientCount) << id;
        EXPECT_FALSE(clientSeen[c]) << "client " << c << " reached two sessions";
        clientSeen[c] = true;
        EXPECT_EQ(events[0], "open") << id;
        for (size_t m = 0; m < messagesEach; ++m) {
            EXPECT_EQ(events[1 + m], "text:" + messageText(c, m)) << id << " message " << m;
        }
    }

    for (auto& client : clients) {
        client->close();
    }
    runLoop(io);
    ASSERT_EQ(progress.failures, std::vector<std::string>{});
    ASSERT_EQ(progress.closed, clientCount);
    ASSERT_TRUE(log.waitForRemovals(clientCount, std::chrono::seconds(60)));
    EXPECT_EQ(log.removalCount(), clientCount);
    for (unsigned int id = 0; id < clientCount; ++id) {
        EXPECT_EQ(server->getSession(id), nullptr) << id;
        EXPECT_EQ(server.session(id)->events().back(), "close") << id;
    }
    EXPECT_EQ(server->getSession(clientCount), nullptr);
    EXPECT_EQ(log.errorLines(), std::vector<std::string>{});
    clients.clear();
}
