// Engine rules beside the big table: strict mode against the lenient default, the log level,
// write batching and the receive low-water mark.
#include <gtest/gtest.h>

#include "EngineCase.h"
#include "tidewire/TidewireExtension.h"

namespace {

using namespace tidewire_test;

// What the lenient default reader makes of frames RFC 6455 forbids, and what strict mode does:
// the connection fails with the fitting Close (1002, or 1007 for text that is not UTF-8).
struct StrictCase {
    const char* name;
    std::vector<std::tuple<uint8_t, std::string, bool>> frames;
    std::vector<std::string> lenient, lenientWritten, strict, strictWritten;
};
const std::string protocolClose = "8:\x03\xEA", invalidClose = "8:\x03\xEF";
const StrictCase strictCases[] = {
    {"RSV2 and RSV3",
     {{T | 0x30, "hi", true}},
     {"open", "text:hi", "error:Read error"},
     {},
     {"open", "error:Reserved bits set"},
     {protocolClose}},
    {"reserved data opcode",
     {{3, "x", true}},
     {"open", "binary:1", "error:Read error"},
     {},
     {"open", "error:Reserved opcode"},
     {protocolClose}},
    {"reserved control opcode",
     {{11, "x", true}},
     {"open", "binary:1", "error:Read error"},
     {},
     {"open", "error:Reserved opcode"},
     {protocolClose}},
    {"fragmented ping",
     {{PING, "p", false}},
     {"open", "error:Read error"},
     {"10:p"},
     {"open", "error:Fragmented control frame"},
     {protocolClose}},
    {"final Continuation with no message",
     {{C, "x", true}},
     {"open", "binary:1", "error:Read error"},
     {},
     {"open", "error:Unexpected continuation"},
     {protocolClose}},
    {"final Text while a message is open",
     {{T, "a", false}, {T, "b", true}},
     {"open", "text:ab", "error:Read error"},
     {},
     {"open", "error:Unexpected frame"},
     {protocolClose}},
    {"invalid UTF-8",
     {{T, "\xC0\xAF", true}},
     {"open", "text:\xC0\xAF", "error:Read error"},
     {},
     {"open", "error:Invalid UTF-8"},
     {invalidClose}},
    {"a character split between frames",
     {{T, "\xCE", false}, {C, "\xBA", true}},
     {"open", "text:\xCE\xBA", "error:Read error"},
     {},
     {"open", "text:\xCE\xBA", "error:Read error"},
     {}},
    // The rest of the message never comes: only a check at its first frame sees the fault.
    {"text that fails at its first frame",
     {{T, "ok\xF5", false}},
     {"open", "error:Read error"},
     {},
     {"open", "error:Invalid UTF-8"},
     {invalidClose}},
    {"text ending inside a character",
     {{T, "ok\xE1\x80", true}},
     {"open", "text:ok\xE1\x80", "error:Read error"},
     {},
     {"open", "error:Invalid UTF-8"},
     {invalidClose}},
    {"close code 3000",
     {{CLOSE, "\x0B\xB8", true}},
     {"open", "close"},
     {"8:\x0B\xB8"},
     {"open", "close"},
     {"8:\x0B\xB8"}},
    {"close code 1005",
     {{CLOSE, "\x03\xED", true}},
     {"open", "close"},
     {"8:\x03\xED"},
     {"open", "error:Invalid close code"},
     {protocolClose}},
    {"1-byte close payload",
     {{CLOSE, "\x03", true}},
     {"open", "close"},
     {"8:\x03"},
     {"open", "error:Invalid close code"},
     {protocolClose}},
    {"close reason not UTF-8",
     {{CLOSE, "\x03\xE8\xFF", true}},
     {"open", "close"},
     {"8:\x03\xE8\xFF"},
     {"open", "error:Invalid UTF-8"},
     {invalidClose}},
};

TEST(StrictMode, EachSideBothModes) {
    for (const StrictCase& row : strictCases) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (strict ? " (strict)" : " (lenient)"));
            Case c{row.name, row.frames, strict ? row.strict : row.lenient,
                   strict ? row.strictWritten : row.lenientWritten};
            c.script.strict = strict;
            runCase<true>(c);
            runCase<false>(c);
        }
    }
}

// With the host's level at info, no trace or debug line reaches the logger.
TEST(LogLevel, LinesBelowTheHostsLevelStayUnbuilt) {
    using Level = relaymatrix::extensions::tidewire::TidewireExtension;
    Level::setLogLevel(Level::LogLevel::info);
    LogRecorder logs;
    tidewire_memory::runConnection<true>(Script{frame(1, bytesOf("hi"), false)}, UINT64_MAX,
                                         [](WebSocketSession& host) { host.ping({}); });
    Level::setLogLevel(Level::LogLevel::trace);
    EXPECT_EQ(logs.all(),
              std::vector<std::string>{"error [WebSocketClient] Error: Read error - End of file"});
}

// The answers to what one read brought leave in one write.
TEST(WriteBatching, AnswersToOneReadLeaveTogether) {
    size_t writes = 0;
    Script script;
    for (const char* payload : {"a", "b", "c"}) {
        const Bytes f = frame(PING, bytesOf(payload), true);
        script.input.insert(script.input.end(), f.begin(), f.end());
    }
    script.writes = &writes;
    Bytes output = tidewire_memory::runConnection<false>(
        script, UINT64_MAX, [](WebSocketSession& host) { host.send(bytesOf("x"), true, 0); });
    EXPECT_EQ(parseFrames(output), (std::vector<std::string>{"1:x", "10:a", "10:b", "10:c"}));
    EXPECT_EQ(writes, 2u);  // the message sent before the open, then the three Pongs
}

// With keepalive on, every arrival of a large frame counts as life, so none may be held back.
TEST(ReceiveLowWater, NoneWhileKeepaliveWatchesArrivals) {
    for (const int keepalive : {0, 3600 * 1000}) {
        size_t mostExpected = 0;
        Script script{frame(B, Bytes(70000, 'k'), true)};
        script.keepalive = std::chrono::milliseconds(keepalive);
        script.mostExpected = &mostExpected;
        tidewire_memory::runConnection<false>(script, UINT64_MAX, [](WebSocketSession&) {});
        EXPECT_EQ(mostExpected != 0, keepalive == 0) << keepalive;
    }
}

// A reader is never told to wait for more than the peer still owes before it may send
// something else (under TLS: the rest of the record in progress), or it could wait forever.
TEST(ReceiveLowWater, NeverAboveWhatThePeerStillOwes) {
    using relaymatrix::extensions::tidewire::ReceiveLowWater;
    const size_t any = SIZE_MAX;
    const size_t rows[][3] = {// owed, ceiling (TLS record), mark
                              {0, any, 1},         {16383, any, 1},       {16384, any, 16384},
                              {70000, any, 70000}, {300000, any, 262144}, {70000, 0, 1},
                              {70000, 3, 3},       {400000, 16000, 16000}};
    for (const auto& row : rows)
        EXPECT_EQ(ReceiveLowWater::markFor(row[0], row[1]), static_cast<int>(row[2])) << row[0];
}

}  // namespace
