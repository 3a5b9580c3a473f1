// The connection engine of both sides on an in-memory stream: what the peer sends, what the
// host does, and the handler calls, frames written and log lines that must follow.
#include <gtest/gtest.h>

#include <map>

#include "EngineCase.h"
#include "tidewire/TidewireExtension.h"

namespace {

using namespace tidewire_test;

const std::string bigText(70000, 'x'), closeBye = "\x03\xE8" + std::string("bye");

const Bytes closeNormal = {0x03, 0xE8};
using namespace std::string_literals;
constexpr uint8_t Z = 0x40;  // RSV1: a compressed message
// "Hello" compressed alone, then again with the first as context (RFC 7692, 7.2.3).
const std::string hello = "\xf2\x48\xcd\xc9\xc9\x07\x00"s, helloAgain = "\xf2\x00\x11\x00\x00"s;
const auto echo = [](WebSocketSession& host) {
    host.onMessageHandler = [&host](const Bytes& m, bool text) { host.send(m, text, 0); };
};
const Script agreed = {{}, 0, SIZE_MAX, 0, false, "permessage-deflate"};

const Case cases[] = {
    {"messages and a pong, then end of stream",
     {{T, "hi", true}, {B, "abc", true}, {PONG, "x", true}},
     {"open", "text:hi", "binary:3", "error:Read error"},
     {},
     {"debug %Received message: hi", "error %Error: Read error - End of file",
      "debug %Received pong",
      "trace %Frame header parsed successfully: WebSocketFrame{fin=1, opcode=0x2, masked=#, "
      "payload length=3, extended payload length bytes=0, payload size=0, frame complete=0}",
      "trace %Frame parsed successfully: WebSocketFrame{fin=1, opcode=0x1, masked=#, "
      "payload length=2, extended payload length bytes=0, payload size=2, frame complete=1}"}},
    {"fragments with a ping between",
     {{T, "ab", false}, {PING, "p", true}, {C, "cd", false}, {C, "ef", true}},
     {"open", "text:abcdef", "error:Read error"},
     {"10:p"},
     {"debug %Received ping, sending pong...", "debug %Send succeeded - opcode: Pong"}},
    {"the first frame's opcode types a message; a lone final Continuation is binary",
     {{B, "ab", false}, {T, "cd", true}, {C, "xyz", true}},
     {"open", "binary:4", "binary:3", "error:Read error"},
     {}},
    {"peer closes: echo and report",
     {{CLOSE, closeBye, true}, {T, "after", true}},
     {"open", "close"},
     {"8:" + closeBye},
     {"info %Client disconnected: unknown", "debug %Send succeeded - opcode: Close"}},
    // Reported once; the echo queued before it still goes out, then our Close.
    {"a Continuation with no message begun",
     {{T, "hi", true}, {C, "x", false}, {T, "unread", true}},
     {"open", "error:Unexpected frame"},
     {"1:hi", "8:\x03\xEA"},
     {"error %Error: Unexpected frame - Protocol error"},
     100 * 1024 * 1024,
     echo},
    {"a stray fragment while our output is stuck: no Close waits behind it",
     {{C, "x", false}},
     {"open", "error:Unexpected frame"},
     {},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] { host.send(Bytes(2 << 20), false, 0); };
     },
     Script{{}, 0, SIZE_MAX, 1}},
    {"the same behind a slow write: the close timeout ends the wait for our Close",
     {{C, "x", false}},
     {"open", "error:Unexpected frame"},
     {},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] { host.send(Bytes(512 << 10), false, 0); };
     },
     Script{{},
            0,
            SIZE_MAX,
            1,
            false,
            "",
            SIZE_MAX,
            nullptr,
            nullptr,
            {},
            std::chrono::milliseconds(1)}},
    {"frame over the bound",
     {{T, "12345", true}},
     {"open", "error:Message too big"},
     {"8:\x03\xF1"},
     {"error %Error: Message too big - Message too long", "debug %Send succeeded - opcode: Close"},
     4},
    {"message over the bound ended by a final Binary",
     {{T, "12", false}, {B, "345", true}},
     {"open", "error:Message too big"},
     {"8:\x03\xF1"},
     {},
     4},
    {"message exactly at the bound",
     {{T, "12", false}, {C, "34", true}, {B, "1234", true}},
     {"open", "text:1234", "binary:4", "error:Read error"},
     {},
     {},
     4},
    {"large payload read in place, 64-bit length, in small reads",
     {{T, bigText, true}, {T, "next", true}},
     {"open", "text:" + bigText, "text:next", "error:Read error"},
     {},
     {"debug %Received message: " + bigText.substr(0, 1024) + "... (70000 bytes)",
      "trace %Frame payload length and/or masking key parsed successfully",
      "trace %Frame parsed successfully: WebSocketFrame{fin=1, opcode=0x1, masked=#, payload "
      "length=70000, extended payload length bytes=8, payload size=70000, frame complete=1}"},
     100 * 1024 * 1024,
     [](WebSocketSession&) {},
     Script{{}, 777}},
    // Reused storage (payload read in place, write buffers) never shows an earlier message.
    {"echoes of a large message, a smaller one and a short one",
     {{T, bigText, true}, {T, std::string(66000, 'y'), true}, {T, "z", true}},
     {"open", "error:Read error"},
     {"1:" + bigText, "1:" + std::string(66000, 'y'), "1:z"},
     {},
     100 * 1024 * 1024,
     echo,
     Script{{}, 777}},
    // Taken messages go out from their own storage (a client masks it there), which later
    // payloads are read over.
    {"the same, each message taken and sent back",
     {{T, bigText, true},
      {B, std::string(20000, 'w'), true},
      {T, std::string(66000, 'y'), true},
      {T, "z", true}},
     {"open", "error:Read error"},
     {"1:" + bigText, "2:" + std::string(20000, 'w'), "1:" + std::string(66000, 'y'), "1:z"},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOwnedMessageHandler = [&host](Bytes&& m, bool text) {
             host.send(std::move(m), text, 0);
         };
     },
     Script{{}, 777}},
    // Message storage kept (payload, write buffer, recycled spare) goes once the peer is
    // quiet, and nothing of it is needed after.
    {"storage given back when idle",
     {{T, bigText, true}, {B, bigText, true}, {PAUSE, "", true}, {B, "after", true}},
     {"open", "text:kept 0", "error:Read error"},
     {"1:" + bigText, "2:" + bigText, "2:after"},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOwnedMessageHandler = [&host](Bytes&& m, bool text) {
             text ? host.send(m, text, 0) : host.send(std::move(m), text, 0);
         };
     }},
    // Storage follows the bytes that arrived, never the length a peer declares.
    {"a declared 4 EiB payload that never comes",
     {},
     {"open", "error:Read error"},
     {},
     {},
     UINT64_MAX,
     [](WebSocketSession&) {},
     Script{{0x82, 127, 0x40, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}}},
    {"a header block read a byte at a time, then frames from the same reads",
     {{T, "hi", true}},
     {"text:GET / HTTP/1.1\r\nA: b\r\n\r\n", "open", "text:hi", "error:Read error"},
     {},
     {},
     UINT64_MAX,
     [](WebSocketSession&) {},
     Script{bytesOf("GET / HTTP/1.1\r\nA: b\r\n\r\n"), 1, SIZE_MAX, 0, true}},
    {"sends held until open, split into frames; nothing after our Close",
     {{CLOSE, "", true}},
     {"open", "close"},
     {"1*:he", "0*:ll", "0:o", "9:p", "8:\x03\xE8"},
     {"debug %Send succeeded - opcode: Text", "debug %Send succeeded - opcode: Text",
      "debug %Send succeeded - opcode: Text", "debug %Send succeeded - opcode: Ping"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.send(bytesOf("hello"), true, 2);
         host.onOpenHandler = [&host] {
             host.ping(bytesOf("p"));
             host.close(closeNormal);
             host.send(bytesOf("late"), true, 0);
             host.ping(bytesOf("late"));
         };
     }},
    // The first write is in flight while the rest is queued behind it in the same storage; the
    // next write gathers several chunks with a large message between them.
    {"queued frames keep their order across the queue's storage",
     {{CLOSE, "", true}},
     {"open", "close"},
     [] {
         std::vector<std::string> w;
         for (int i = 0; i < 12000; ++i)
             w.push_back(i == 6000 ? "2:" + bigText.substr(0, 9000) : "1:" + std::to_string(i));
         w.push_back("8:");
         return w;
     }(),
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] {
             for (int i = 0; i < 12000; ++i)
                 i == 6000 ? host.send(bytesOf(bigText.substr(0, 9000)), false, 0)
                           : host.send(bytesOf(std::to_string(i)), true, 0);
         };
     }},
    {"a stray fragment behind the Close of the buffer limit: one report",
     {{C, "x", false}},
     {"open", "error:Send buffer full"},
     {"8:\x03\xF0"},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] { host.send(Bytes(100), false, 0); };
     },
     [] {
         Script s;
         s.maxBuffered = 10;
         s.writeChunk = 1;  // the fragment is read while that Close is still going out
         return s;
     }()},
    {"a failed write",
     {{T, "x", true}},
     {"open", "error:Send error"},
     {},
     {"error %Error: Send error - Broken pipe"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] { host.send(bytesOf("hello"), true, 0); };
     },
     Script{{}, 1, 3}},
    {"a throwing handler is logged and reading goes on",
     {{T, "a", true}, {T, "b", true}},
     {"open", "error:Read error"},
     {},
     {"error %Handler exception: boom", "error %Handler exception: boom"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onMessageHandler = [](const Bytes&, bool) { throw std::runtime_error("boom"); };
     }},
    {"control payloads over 125 bytes: ours not sent, the peer's fails the connection",
     {{PING, std::string(125, 'q'), true}, {PING, std::string(126, 'p'), true}},
     {"open", "error:Control frame too long"},
     {"10:" + std::string(125, 'q'), "8:\x03\xEA"},
     {"error %Error: Control frame payload over 125 bytes, not sent: 126 bytes",
      "error %Error: Control frame payload over 125 bytes, not sent: 126 bytes",
      "error %Error: Control frame too long - Protocol error"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] {
             host.ping(Bytes(126));
             host.close(Bytes(126));
         };
     }},
    {"pings unanswered while our output is stuck",
     {{T, "go", true}, {PING, "p", true}},
     {"open", "error:Read error"},
     {},
     {"debug %Received ping, not answered: the peer is not reading"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] { host.send(bytesOf("first"), false, 0); };
         host.onMessageHandler = [&host](const Bytes&, bool) {
             host.send(Bytes(2 << 20), false, 0);
         };
     },
     Script{{}, 0, SIZE_MAX, 1}},
    {"compressed both ways: context kept, fragments, RSV1 on the first frame, the threshold",
     {{T | Z, hello, true},
      {B | Z, hello.substr(0, 2), false},
      {PING, "p", true},
      {C, hello.substr(2), true},
      {T | Z, helloAgain, true},
      {T, "plain", true}},
     {"open", "text:Hello", "binary:5", "text:Hello", "text:plain", "error:Read error"},
     {"1c:" + hello, "1c*:" + helloAgain.substr(0, 3), "0:" + helloAgain.substr(3), "1:Hi", "10:p"},
     {"debug %Received message: Hello"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.send(bytesOf("Hello"), true, 0);
         host.send(bytesOf("Hello"), true, 3);
         host.send(bytesOf("Hi"), true, 0);
     },
     agreed},
    // 2000 bytes in 18: inflating stops at the bound.
    {"a small compressed frame inflating past the bound",
     {{B | Z, "\x4a\x4c\x1c\x05\xa3\x60\x14\x8c\x82\x51\x30\x0a\x46\xc1\x50\x07\x00\x00"s, true}},
     {"open", "error:Message too big"},
     {"8:\x03\xF1"},
     {"error %Error: Message too big - Message too long"},
     1000,
     [](WebSocketSession&) {},
     agreed},
    // 600 bytes a frame: the bound holds for the message, not frame by frame.
    {"a fragmented compressed message inflating past the bound",
     {{B | Z, "\x4a\x4c\x1c\x05\xa3\x80\xfa\x00\x00\x00\x00\xff\xff"s, false},
      {C, "\x4a\x1a\x05\xa3\x80\x06\x00\x00"s, true}},
     {"open", "error:Message too big"},
     {"8:\x03\xF1"},
     {},
     1000,
     [](WebSocketSession&) {},
     agreed},
    {"compressed data that does not inflate",
     {{T | Z, "\xff\xff", true}},
     {"open", "error:Invalid compressed data"},
     {"8:\x03\xEA"},
     {"error %Error: Invalid compressed data - Protocol error"},
     100 * 1024 * 1024,
     [](WebSocketSession&) {},
     agreed},
    {"RSV1 on a control frame once compression is agreed",
     {{PING | Z, "p", true}},
     {"open", "error:Unexpected reserved bit"},
     {"8:\x03\xEA"},
     {"error %Error: Unexpected reserved bit - Protocol error"},
     100 * 1024 * 1024,
     [](WebSocketSession&) {},
     agreed},
    {"RSV1 on a Continuation once compression is agreed",
     {{T | Z, hello.substr(0, 2), false}, {C | Z, hello.substr(2), true}},
     {"open", "error:Unexpected reserved bit"},
     {"8:\x03\xEA"},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession&) {},
     agreed},
    {"RSV1 with compression enabled and not agreed",
     {{T | Z, "hi", true}},
     {"open", "error:Unexpected reserved bit"},
     {"8:\x03\xEA"},
     {},
     100 * 1024 * 1024,
     [](WebSocketSession&) {},
     Script{{}, 0, SIZE_MAX, 0, false, "-"}},
    {"a send after the host's Close is dropped, and the log says so",
     {{CLOSE, "", true}},
     {"open", "close"},
     {"8:"},
     {"debug %Send after close dropped: 5 bytes"},
     100 * 1024 * 1024,
     [](WebSocketSession& host) {
         host.onOpenHandler = [&host] {
             host.close({});
             host.send(bytesOf("late!"), true, 0);
         };
     }},
    {"reserved bits ignored with compression off",
     {{T | 0x70, "hi", true}},
     {"open", "text:hi", "error:Read error"}},
};

class Engine : public ::testing::TestWithParam<Case> {};
TEST_P(Engine, Client) {
    runCase<true>(GetParam());
}
TEST_P(Engine, Server) {
    runCase<false>(GetParam());
}
INSTANTIATE_TEST_SUITE_P(Cases, Engine, ::testing::ValuesIn(cases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

}  // namespace
