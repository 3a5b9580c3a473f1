#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "ClientHarness.h"

using namespace tidewire_test;

namespace {

using ClientReader = ClientHarness;

std::string t(const std::string& text) {
    return std::string(ClientHarness::tag) + text;
}

// Peak resident memory of the process so far, in bytes.
long peakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss * 1024L;
}

// A frame header declaring `length` payload bytes (64-bit form), unmasked Binary with FIN.
std::string declaredLength(uint64_t length) {
    std::string header = "\x82\x7F";
    for (int i = 7; i >= 0; --i) {
        header += static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return header;
}

}  // namespace

TEST_F(ClientReader, FirstFrameInTheResponseSegmentIsDeliveredWithExactLogLines) {
    open(frameBytes(true, 0x1, "hi"));
    ASSERT_TRUE(events.waitFor("text:hi"));
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "text:hi"}));
    const std::vector<LogLine> lines = log.lines();
    ASSERT_GE(lines.size(), 3u);
    const std::vector<LogLine> frameLines(lines.end() - 3, lines.end());
    EXPECT_EQ(frameLines,
              (std::vector<LogLine>{
                  {LogLevel::trace, t("Frame header parsed successfully: WebSocketFrame{fin=1, "
                                      "opcode=0x1, masked=0, payload length=2, extended payload "
                                      "length bytes=0, payload size=0, frame complete=0}")},
                  {LogLevel::trace, t("Frame parsed successfully: WebSocketFrame{fin=1, "
                                      "opcode=0x1, masked=0, payload length=2, extended payload "
                                      "length bytes=0, payload size=2, frame complete=1}")},
                  {LogLevel::debug, t("Received message: hi")}}));
}

TEST_F(ClientReader, TextBinaryEmptyMaskedAndZeroExtendedLengthFrames) {
    const std::string maskedAbc =
        std::string("\x81\x83\x01\x02\x03\x04", 6) + std::string{'a' ^ 1, 'b' ^ 2, 'c' ^ 3};
    open(frameBytes(true, 0x2, "bin") + frameBytes(true, 0x1, "") + maskedAbc +
         std::string("\x81\x7E\x00\x00", 4) + frameBytes(true, 0x1, "last"));
    ASSERT_TRUE(events.waitFor("text:last"));
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "binary:bin", "text:", "text:abc",
                                                         "text:", "text:last"}));
    EXPECT_EQ(log.count(LogLevel::trace,
                        t("Frame payload length and/or masking key parsed successfully")),
              2u);
}

TEST_F(ClientReader, FragmentsReassembleAroundAPingWhichIsAnsweredWithAMaskedPong) {
    open(frameBytes(false, 0x1, "a") + frameBytes(true, 0x9, "P") + frameBytes(false, 0x0, "b") +
         frameBytes(true, 0x0, "c") + frameBytes(false, 0x2, "x") + frameBytes(true, 0xA, "") +
         frameBytes(true, 0x0, "y"));
    PeerFrame pong;
    ASSERT_TRUE(peer.readFrame(pong));
    EXPECT_TRUE(pong.fin);
    EXPECT_EQ(pong.opcode, 0xA);
    EXPECT_TRUE(pong.masked);
    EXPECT_EQ(pong.payload, bytes("P"));
    ASSERT_TRUE(events.waitFor("binary:xy"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, t("Send succeeded - opcode: Pong")));
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "text:abc", "binary:xy"}));
    EXPECT_EQ(log.texts(LogLevel::debug),
              (std::vector<std::string>{
                  t("Handshake successful"), t("Received message: a"),
                  t("Received ping, sending pong..."), t("Received message: b"),
                  t("Received message: c"), t("Received message: x"), t("Received pong"),
                  t("Received message: y"), t("Send succeeded - opcode: Pong")}));
}

TEST_F(ClientReader, PayloadsLargerThanTheReceiveBufferArriveWhole) {
    std::string large(1 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>('a' + i % 26);
    }
    std::vector<uint8_t> received;
    std::promise<void> done;
    int calls = 0;
    events.afterMessage = [&](const std::vector<uint8_t>& message, bool) {
        if (++calls == 2) {
            received = message;
            done.set_value();
        }
    };
    open(frameBytes(true, 0x2, large) + frameBytes(false, 0x2, large.substr(0, 300000)) +
         frameBytes(true, 0x0, large.substr(300000)));
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(received, bytes(large.substr(0, 300000) + large.substr(300000)));
}

TEST_F(ClientReader, NonFinalContinuationWithoutAMessageIsReportedTwice) {
    open(frameBytes(false, 0x0, "x") + frameBytes(true, 0x1, "never"));
    ASSERT_TRUE(events.waitForCount(3));
    ASSERT_TRUE(peer.waitForEndOfStream());
    finish();
    EXPECT_EQ(events.events(),
              (std::vector<std::string>{"open", "error:Unexpected frame", "error:Read error"}));
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{t("Error: Read error - Bad file descriptor")});
    EXPECT_EQ(log.count(LogLevel::debug, t("Connection closed")), 2u);
}

TEST_F(ClientReader, ServerDroppingTheConnectionIsAReadErrorWithoutCloseHandler) {
    open();
    peer.closeConnection();
    ASSERT_TRUE(events.waitFor("error:Read error"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, t("Connection closed")));
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "error:Read error"}));
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{t("Error: Read error - End of file")});
}

TEST_F(ClientReader, ServerStartedCloseIsEchoedThenReportedAndClosed) {
    open(frameBytes(true, 0x8, "\x03\xE8"));
    PeerFrame echo;
    ASSERT_TRUE(peer.readFrame(echo));
    EXPECT_EQ(echo.opcode, 0x8);
    EXPECT_TRUE(echo.masked);
    EXPECT_EQ(echo.payload, bytes("\x03\xE8"));
    EXPECT_TRUE(peer.waitForEndOfStream());
    ASSERT_TRUE(events.waitFor("close"));
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(log.count(LogLevel::info, t("Client disconnected: ") + peerEndpoint()), 1u);
    const std::vector<std::string> debug = log.texts(LogLevel::debug);
    ASSERT_GE(debug.size(), 2u);
    EXPECT_EQ(
        std::vector<std::string>(debug.end() - 2, debug.end()),
        (std::vector<std::string>{t("Send succeeded - opcode: Close"), t("Connection closed")}));
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST_F(ClientReader, ClientStartedCloseEndsWhenTheServerAnswers) {
    open();
    client->close({0x03, 0xE8});
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x8);
    EXPECT_EQ(frame.payload, (std::vector<uint8_t>{0x03, 0xE8}));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, t("Send succeeded - opcode: Close")));
    EXPECT_EQ(events.events(), std::vector<std::string>{"open"});
    ASSERT_TRUE(peer.send(frameBytes(true, 0x8, "\x03\xE8")));
    ASSERT_TRUE(events.waitFor("close"));
    EXPECT_TRUE(peer.waitForEndOfStream());
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(log.count(LogLevel::debug, t("Connection closed")), 1u);
    // No frame followed the client's Close: the server's Close was not echoed.
    EXPECT_TRUE(peer.pending().empty());
}

TEST_F(ClientReader, DeclaredLengthOf2To63FailsWithClose1009AndSmallMemory) {
    const long before = peakResidentBytes();
    open(declaredLength(uint64_t(1) << 63) + "some bytes");
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x8);
    EXPECT_EQ(frame.payload, (std::vector<uint8_t>{0x03, 0xF1}));
    EXPECT_TRUE(peer.waitForEndOfStream());
    finish();
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "error:Message too big"}));
    EXPECT_EQ(log.texts(LogLevel::error),
              std::vector<std::string>{t("Error: Message too big - Message too long")});
    EXPECT_LT(peakResidentBytes() - before, 32L << 20);
}

TEST_F(ClientReader, MemoryFollowsReceivedBytesNotTheDeclaredLength) {
    const long before = peakResidentBytes();
    // Exactly the default bound (100 MiB) is allowed, but only a few bytes ever arrive.
    open(declaredLength(100u << 20) + "just a few bytes");
    peer.closeConnection();
    ASSERT_TRUE(events.waitFor("error:Read error"));
    finish();
    EXPECT_LT(peakResidentBytes() - before, 32L << 20);
    EXPECT_EQ(events.events(), (std::vector<std::string>{"open", "error:Read error"}));
}

TEST_F(ClientReader, ReassembledMessageIsBoundedByTheHostLimit) {
    events.afterOpen = [this] { client->setMaxMessageSize(10); };
    open();
    ASSERT_TRUE(peer.send(frameBytes(true, 0x1, "0123456789") + frameBytes(false, 0x1, "012345") +
                          frameBytes(true, 0x0, "6789X")));
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x8);
    EXPECT_EQ(frame.payload, (std::vector<uint8_t>{0x03, 0xF1}));
    EXPECT_TRUE(peer.waitForEndOfStream());
    finish();
    EXPECT_EQ(events.events(),
              (std::vector<std::string>{"open", "text:0123456789", "error:Message too big"}));
}

TEST_F(ClientReader, MessageEndedByAFinalFrameOfAnotherDataOpcodeIsBoundedToo) {
    // A final Binary or reserved-opcode frame ends the message being assembled, so its payload
    // counts with the fragments before it.
    events.afterOpen = [this] { client->setMaxMessageSize(10); };
    open();
    ASSERT_TRUE(peer.send(frameBytes(false, 0x1, "01234") + frameBytes(true, 0x2, "56789") +
                          frameBytes(false, 0x1, "012345") + frameBytes(true, 0x3, "6789X")));
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.opcode, 0x8);
    EXPECT_EQ(frame.payload, (std::vector<uint8_t>{0x03, 0xF1}));
    EXPECT_TRUE(peer.waitForEndOfStream());
    finish();
    EXPECT_EQ(events.events(),
              (std::vector<std::string>{"open", "text:0123456789", "error:Message too big"}));
}

// No log recorder here: a million frames make three million log lines.
TEST(ClientReaderBurst, MillionTinyFramesInOneBurstAreHandledWithoutDeepeningTheStack) {
    constexpr size_t frames = 1000000;
    size_t count = 0;  // loop thread only, read after the promise
    std::promise<void> done;
    ClientHarness::Client::Handlers handlers;
    handlers.onMessage = [&](const std::vector<uint8_t>& message, bool isText) {
        if (isText) {
            done.set_value();
        } else {
            count += message.empty() ? 1 : 0;
        }
    };
    ScriptedPeer peer;
    ClientHarness::Client client(peer.url(), {}, handlers);
    ASSERT_TRUE(peer.accept());
    std::string burst = switchingProtocols(peer.readRequest());
    burst.reserve(burst.size() + 2 * frames + 8);
    for (size_t i = 0; i < frames; ++i) {
        burst += "\x82";
        burst += '\0';
    }
    burst += frameBytes(true, 0x1, "end");
    ASSERT_TRUE(peer.send(burst));
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(100)), std::future_status::ready);
    EXPECT_EQ(count, frames);
}
