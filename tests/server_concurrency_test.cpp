#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogRecorder.h"
#include "ServerHarness.h"
#include "SessionEvents.h"
#include "TestCertificates.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;
using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string url(uint16_t port) {
    return "ws://127.0.0.1:" + std::to_string(port) + "/";
}

// Each client brings its own event loop and socket; make room for a few hundred of them.
void raiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Counts down to zero and lets a test wait for it with a deadline.
class Countdown {
public:
    explicit Countdown(size_t count) : remaining(count) {}
    void done() {
        std::lock_guard<std::mutex> lock(mutex);
        if (remaining > 0 && --remaining == 0) {
            changed.notify_all();
        }
    }
    bool wait(std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return remaining == 0; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    size_t remaining;
};

}  // namespace

// 200 clients at once, each exchanging messages with its own echoing session; then every
// client closes and the registry ends up empty.
TEST(ServerConcurrency, TwoHundredClientsExchangeAndClose) {
    constexpr size_t clients = 200;
    constexpr size_t messagesEach = 5;
    raiseDescriptorLimit(4096);
    // Every client sets up a TLS context with the trusted CAs even for ws://; one small CA
    // file keeps 200 of them cheap.
    TestCertificates::trustTestCa();
    LogRecorder log;
    ServerHarness server(
        false, [](ServerHarness::Session& session, SessionEvents& events, unsigned int) {
            events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
                session.send(bytes, isText, 1024);
            };
        });

    std::vector<std::unique_ptr<SessionEvents>> events;
    std::vector<std::unique_ptr<WebSocketClient>> connections;
    Countdown opened(clients);
    for (size_t i = 0; i < clients; ++i) {
        events.push_back(std::make_unique<SessionEvents>());
        events.back()->afterOpen = [&opened] { opened.done(); };
        connections.push_back(std::make_unique<WebSocketClient>(
            url(server.port()), std::vector<std::string>{}, events.back()->handlers()));
    }
    ASSERT_TRUE(opened.wait(std::chrono::seconds(60)));

    for (size_t i = 0; i < clients; ++i) {
        for (size_t m = 0; m < messagesEach; ++m) {
            connections[i]->send(bytesOf(std::to_string(i) + ":" + std::to_string(m)), true, 16);
        }
    }
    for (size_t i = 0; i < clients; ++i) {
        ASSERT_TRUE(events[i]->waitForCount(1 + messagesEach, std::chrono::seconds(60))) << i;
        std::vector<std::string> expected{"open"};
        for (size_t m = 0; m < messagesEach; ++m) {
            expected.push_back("text:" + std::to_string(i) + ":" + std::to_string(m));
        }
        EXPECT_EQ(events[i]->events(), expected) << i;
    }

    for (auto& connection : connections) {
        connection->close({0x03, 0xE8});
    }
    ASSERT_TRUE(log.waitFor(
        [&](const std::vector<LogLine>& lines) {
            size_t removed = 0;
            for (const LogLine& line : lines) {
                removed +=
                    line.text.rfind("[WebSocketServer] Session disconnected and removed", 0) == 0
                        ? 1
                        : 0;
            }
            return removed == clients;
        },
        std::chrono::seconds(60)));
    for (unsigned int id = 0; id < clients; ++id) {
        EXPECT_EQ(server->getSession(id), nullptr) << id;
        EXPECT_EQ(server.session(id)->count("close"), 1u) << id;
    }
    for (size_t i = 0; i < clients; ++i) {
        EXPECT_TRUE(events[i]->waitFor("close")) << i;
    }
    connections.clear();
}

// Host threads send numbered messages to every session while the clients send back, and each
// session relays what it receives to all sessions from inside its handler. Every stream of
// numbered messages must arrive complete and in order, whichever threads produced it.
TEST(ServerConcurrency, HostThreadsAndHandlersSendWhileClientsSend) {
    constexpr unsigned int sessions = 4;
    constexpr int messages = 300;
    WebSocketServer* serverPointer = nullptr;
    ServerHarness server(
        false, [&](ServerHarness::Session& session, SessionEvents& events, unsigned int index) {
            events.afterMessage = [&serverPointer, index](const std::vector<uint8_t>& bytes, bool) {
                const std::string relayed = "relay " + std::to_string(index) + " " +
                                            std::string(bytes.begin(), bytes.end());
                for (unsigned int id = 0; id < sessions; ++id) {
                    if (auto target = serverPointer->getSession(id)) {
                        target->send(bytesOf(relayed), true, 5);
                    }
                }
            };
            (void)session;
        });
    serverPointer = &*server;

    std::vector<std::unique_ptr<SessionEvents>> clientEvents;
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (unsigned int i = 0; i < sessions; ++i) {
        clientEvents.push_back(std::make_unique<SessionEvents>());
        clients.push_back(std::make_unique<WebSocketClient>(
            url(server.port()), std::vector<std::string>{}, clientEvents.back()->handlers()));
        ASSERT_TRUE(clientEvents.back()->waitFor("open"));
        ASSERT_TRUE(server.session(i)->waitFor("open"));
    }
    std::vector<std::shared_ptr<WebSocketSession>> held;
    for (unsigned int id = 0; id < sessions; ++id) {
        held.push_back(server->getSession(id));
        ASSERT_NE(held.back(), nullptr);
    }

    std::vector<std::thread> threads;
    for (unsigned int i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] {
            for (int m = 0; m < messages; ++m) {
                held[i]->send(bytesOf("host " + std::to_string(m)), m % 2 == 0, 3);
            }
        });
        threads.emplace_back([&, i] {
            for (int m = 0; m < messages; ++m) {
                clients[i]->send(bytesOf("client " + std::to_string(m)), true, 4);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    // Each client gets its host stream and the relays of every client's stream.
    const size_t expected = 1 + messages + sessions * messages;
    for (unsigned int i = 0; i < sessions; ++i) {
        ASSERT_TRUE(clientEvents[i]->waitForCount(expected, std::chrono::seconds(60))) << i;
        std::map<std::string, int> next;  // stream name -> next expected number
        for (const std::string& e : clientEvents[i]->events()) {
            if (e == "open") {
                continue;
            }
            const size_t lastBlank = e.rfind(' ');
            const std::string stream = e.substr(e.find(':') + 1, lastBlank - e.find(':') - 1);
            const int number = std::stoi(e.substr(lastBlank + 1));
            ASSERT_EQ(number, next[stream]) << "client " << i << " stream " << stream;
            ++next[stream];
        }
        EXPECT_EQ(next.size(), 1 + sessions) << i;
        for (const auto& [stream, count] : next) {
            EXPECT_EQ(count, messages) << "client " << i << " stream " << stream;
        }
    }
    for (unsigned int i = 0; i < sessions; ++i) {
        EXPECT_EQ(server.session(i)->events().size(), 1u + messages) << i;
    }
    clients.clear();
    held.clear();
}
