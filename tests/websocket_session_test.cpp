#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tidewire/WebSocketSession.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

class RecordingSession : public WebSocketSession {
public:
    void send(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) override {
        sent.push_back({data, isText, maxFrameSize});
    }
    void ping(const std::vector<uint8_t>& payload) override { pings.push_back(payload); }
    void close(const std::vector<uint8_t>& payload) override { closes.push_back(payload); }

    struct Sent {
        std::vector<uint8_t> data;
        bool isText;
        size_t maxFrameSize;
    };
    std::vector<Sent> sent;
    std::vector<std::vector<uint8_t>> pings;
    std::vector<std::vector<uint8_t>> closes;
};

}  // namespace

TEST(WebSocketSession, UnassignedHandlersDoNothing) {
    std::unique_ptr<WebSocketSession> session = std::make_unique<RecordingSession>();
    EXPECT_FALSE(session->onOpenHandler.isSet());
    session->onOpenHandler();
    session->onMessageHandler({1, 2}, true);
    session->onErrorHandler("boom");
    session->onCloseHandler();
    session->send({1}, false, 10);
    session->ping({});
    session->close({0x03, 0xE8});
    const auto& recorded = static_cast<RecordingSession&>(*session);
    ASSERT_EQ(recorded.sent.size(), 1u);
    EXPECT_EQ(recorded.sent[0].maxFrameSize, 10u);
    EXPECT_EQ(recorded.pings.size(), 1u);
    EXPECT_EQ(recorded.closes.size(), 1u);
}

TEST(WebSocketSession, AssignedHandlersReceiveTheirArguments) {
    RecordingSession session;
    int opens = 0;
    int closes = 0;
    std::vector<std::pair<std::vector<uint8_t>, bool>> messages;
    std::vector<std::string> errors;
    session.onOpenHandler = [&] { ++opens; };
    session.onCloseHandler = [&] { ++closes; };
    session.onMessageHandler = [&](const std::vector<uint8_t>& data, bool isText) {
        messages.emplace_back(data, isText);
    };
    session.onErrorHandler = [&](const std::string& what) { errors.push_back(what); };

    session.onOpenHandler();
    session.onMessageHandler({'h', 'i'}, true);
    session.onMessageHandler({0xFF}, false);
    session.onErrorHandler("Read error");
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(closes, 0);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (std::pair<std::vector<uint8_t>, bool>{{'h', 'i'}, true}));
    EXPECT_EQ(messages[1], (std::pair<std::vector<uint8_t>, bool>{{0xFF}, false}));
    EXPECT_EQ(errors, (std::vector<std::string>{"Read error"}));
}

TEST(WebSocketSession, EmptyAssignmentRestoresTheNoOp) {
    RecordingSession session;
    int calls = 0;
    session.onOpenHandler = [&] { ++calls; };
    session.onOpenHandler = std::function<void()>();
    session.onOpenHandler();
    EXPECT_FALSE(session.onOpenHandler.isSet());
    session.onOpenHandler = [&] { ++calls; };
    session.onOpenHandler = nullptr;
    session.onOpenHandler();
    EXPECT_EQ(calls, 0);
}

TEST(WebSocketSession, HandlerMayReplaceItselfWhileRunning) {
    RecordingSession session;
    std::vector<std::string> calls;
    session.onMessageHandler = [&](const std::vector<uint8_t>&, bool) {
        calls.push_back("first");
        // Releases the running lambda's own slot; the snapshot keeps it alive.
        session.onMessageHandler = [&](const std::vector<uint8_t>&, bool) {
            calls.push_back("second");
        };
        calls.push_back("first still running");
    };
    session.onMessageHandler({}, false);
    session.onMessageHandler({}, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "first still running", "second"}));
}

TEST(WebSocketSession, HandlersCopyBetweenSessions) {
    RecordingSession a;
    RecordingSession b;
    int calls = 0;
    a.onCloseHandler = [&] { ++calls; };
    b.onCloseHandler = a.onCloseHandler;
    a.onCloseHandler = nullptr;
    a.onCloseHandler();
    b.onCloseHandler();
    EXPECT_EQ(calls, 1);
}

// One thread keeps assigning while another keeps invoking; the thread sanitizer judges.
TEST(WebSocketSession, AssignmentRacesWithInvocationSafely) {
    RecordingSession session;
    constexpr int rounds = 20000;
    std::atomic<int> calls{0};
    std::atomic<bool> assignerDone{false};
    std::thread assigner([&] {
        for (int i = 0; i < rounds; ++i) {
            auto state = std::make_shared<std::string>("payload " + std::to_string(i));
            session.onMessageHandler = [&calls, state](const std::vector<uint8_t>& data, bool) {
                if (!state->empty() && !data.empty()) {
                    calls.fetch_add(1, std::memory_order_relaxed);
                }
            };
            if (i % 1000 == 0) {
                session.onMessageHandler = nullptr;
            }
        }
        assignerDone = true;
    });
    const std::vector<uint8_t> message{1, 2, 3};
    int invocations = 0;
    while (!assignerDone.load()) {
        session.onMessageHandler(message, true);
        ++invocations;
    }
    assigner.join();
    session.onMessageHandler(message, true);
    ++invocations;
    EXPECT_GE(calls.load(), 1);
    EXPECT_LE(calls.load(), invocations);
}
