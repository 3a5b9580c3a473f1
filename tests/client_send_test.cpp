#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ClientHarness.h"

using namespace tidewire_test;

namespace {

using ClientSender = ClientHarness;

std::string t(const std::string& text) {
    return std::string(ClientHarness::tag) + text;
}

std::vector<uint8_t> digits(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>('0' + i % 10);
    }
    return data;
}

}  // namespace

TEST_F(ClientSender, MessageSplitsIntoMaskedFramesWithOneLogLinePerFrame) {
    open();
    client->send(digits(10), false, 4);
    struct Expected {
        bool fin;
        uint8_t opcode;
        std::string payload;
    };
    const std::vector<Expected> expected = {
        {false, 0x2, "0123"}, {false, 0x0, "4567"}, {true, 0x0, "89"}};
    for (const Expected& e : expected) {
        PeerFrame frame;
        ASSERT_TRUE(peer.readFrame(frame));
        EXPECT_EQ(frame.fin, e.fin);
        EXPECT_EQ(frame.opcode, e.opcode);
        EXPECT_TRUE(frame.masked);
        EXPECT_EQ(frame.payload, bytes(e.payload));
    }
    ASSERT_TRUE(log.waitFor([](const std::vector<LogLine>& lines) {
        size_t n = 0;
        for (const LogLine& line : lines) {
            n += line.text == t("Send succeeded - opcode: Binary") ? 1 : 0;
        }
        return n == 3;
    }));
}

TEST_F(ClientSender, FrameSizeAtOrAboveTheMessageSizeOrZeroGivesOneFrame) {
    open();
    client->send(digits(10), true, 10);
    client->send(digits(10), true, 11);
    client->send(digits(10), true, 0);
    for (int i = 0; i < 3; ++i) {
        PeerFrame frame;
        ASSERT_TRUE(peer.readFrame(frame));
        EXPECT_TRUE(frame.fin);
        EXPECT_EQ(frame.opcode, 0x1);
        EXPECT_EQ(frame.payload, digits(10));
    }
}

TEST_F(ClientSender, EmptyMessagePingAndCloseHaveTheirExactHeaders) {
    open();
    client->send({}, true, 5);
    client->send({}, false, 5);
    client->ping({'a', 'b', 'c'});
    client->close({0x03, 0xE8});
    const std::string wire = peer.readExactly(6 + 6 + 9 + 8);
    ASSERT_EQ(wire.size(), 29u);
    EXPECT_EQ(wire.substr(0, 2), "\x81\x80");
    EXPECT_EQ(wire.substr(6, 2), "\x82\x80");
    EXPECT_EQ(wire.substr(12, 2), "\x89\x83");
    EXPECT_EQ(wire.substr(21, 2), "\x88\x82");
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, t("Send succeeded - opcode: Close")));
    EXPECT_EQ(log.count(LogLevel::debug, t("Send succeeded - opcode: Ping")), 1u);
    EXPECT_EQ(events.events(), std::vector<std::string>{"open"});
}

TEST_F(ClientSender, MessageHandlerCanAnswerOnTheLoopThread) {
    events.afterMessage = [this](const std::vector<uint8_t>& message, bool isText) {
        std::vector<uint8_t> answer = bytes("re:");
        answer.insert(answer.end(), message.begin(), message.end());
        client->send(answer, isText, 2);
    };
    open(frameBytes(true, 0x1, "one") + frameBytes(true, 0x2, "two"));
    for (const char* expected : {"re:one", "re:two"}) {
        std::vector<uint8_t> message;
        PeerFrame frame;
        do {
            ASSERT_TRUE(peer.readFrame(frame));
            message.insert(message.end(), frame.payload.begin(), frame.payload.end());
        } while (!frame.fin);
        EXPECT_EQ(message, bytes(expected));
    }
}

TEST_F(ClientSender, ConcurrentSendersNeverInterleaveMessagesAndKeepTheirOwnOrder) {
    open();
    constexpr int threads = 4;
    constexpr int messagesPerThread = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([this, t] {
            for (int i = 0; i < messagesPerThread; ++i) {
                std::string text = std::to_string(t) + ":" + std::to_string(i) + ":";
                text.resize(300, static_cast<char>('a' + t));
                client->send(bytes(text), true, 64);
            }
        });
    }
    std::vector<int> next(threads, 0);
    for (int received = 0; received < threads * messagesPerThread; ++received) {
        PeerFrame frame;
        ASSERT_TRUE(peer.readFrame(frame));
        ASSERT_EQ(frame.opcode, 0x1);
        std::string message(frame.payload.begin(), frame.payload.end());
        while (!frame.fin) {
            ASSERT_TRUE(peer.readFrame(frame));
            ASSERT_EQ(frame.opcode, 0x0) << "another message began inside a message";
            message.append(frame.payload.begin(), frame.payload.end());
        }
        ASSERT_EQ(message.size(), 300u);
        const int sender = message[0] - '0';
        const int sequence = std::stoi(message.substr(2));
        EXPECT_EQ(sequence, next[sender]++);
        EXPECT_EQ(message.back(), static_cast<char>('a' + sender));
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
}

TEST_F(ClientSender, ThrowingHandlerIsLoggedAndTheConnectionGoesOn) {
    events.afterMessage = [](const std::vector<uint8_t>& message, bool) {
        if (message == std::vector<uint8_t>{'x'}) {
            throw std::runtime_error("boom");
        }
    };
    open(frameBytes(true, 0x1, "x") + frameBytes(true, 0x1, "y"));
    ASSERT_TRUE(events.waitFor("text:y"));
    EXPECT_EQ(log.texts(LogLevel::error), std::vector<std::string>{t("Handler exception: boom")});
}

TEST_F(ClientSender, SendsAfterTheConnectionEndedAreDropped) {
    open(frameBytes(true, 0x8, ""));
    ASSERT_TRUE(events.waitFor("close"));
    client->send(bytes("late"), true, 0);
    client->ping({});
    client->close({});
    PeerFrame echo;
    ASSERT_TRUE(peer.readFrame(echo));
    EXPECT_EQ(echo.opcode, 0x8);
    EXPECT_TRUE(peer.waitForEndOfStream());
    EXPECT_TRUE(peer.pending().empty());
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "close"}));
}
