// The protocol core: frame encoding and decoding, masking, the handshake texts and their
// primitives, URLs. Pure functions, checked by tables against independent expectations.
#include <gtest/gtest.h>

#include <sstream>

#include "Support.h"
#include "core/ClientTarget.h"
#include "core/CloseStatus.h"
#include "core/DeflateNegotiation.h"
#include "core/FrameHeader.h"
#include "core/HandshakePolicy.h"
#include "core/HandshakeText.h"
#include "core/Masking.h"
#include "core/MessageDeflate.h"
#include "core/OutgoingFrames.h"
#include "core/Utf8Validator.h"
#include "tidewire/Base64.h"
#include "tidewire/SHA1Hash.h"
#include "tidewire/URL.h"
#include "tidewire/WebSocketFrame.h"

namespace {

using namespace relaymatrix::extensions::tidewire;
using namespace tidewire_test;

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// Decoding runs through the engine and the end-to-end cases; here, what we encode must read
// back through an independent decoder.
TEST(Frames, EveryLengthFormAndSplit) {
    for (size_t n : {0, 1, 125, 126, 65535, 65536, 70001}) {
        for (bool masked : {false, true}) {
            for (bool fin : {false, true}) {
                Bytes wire = WebSocketFrame::build(pattern(n), fin, opcodes::Binary, masked);
                EXPECT_EQ(wire.size(), frameHeaderSize(n, masked) + n);
                std::vector<bool> masks;
                EXPECT_EQ(parseFrames(wire, &masks),
                          std::vector<std::string>{(fin ? "2:" : "2*:") + textOf(pattern(n))});
                EXPECT_EQ(masks, std::vector<bool>{masked});
            }
        }
    }
    EXPECT_EQ(WebSocketFrame::build(bytesOf("hi"), true, 0x11, false), (Bytes{0x81, 2, 'h', 'i'}));
    const Bytes data = bytesOf("abcdefg");
    for (auto [maxFrame, expected] : std::vector<std::pair<size_t, std::vector<std::string>>>{
             {0, {"1:abcdefg"}},
             {7, {"1:abcdefg"}},
             {3, {"1*:abc", "0*:def", "0:g"}},
             {1, {"1*:a", "0*:b", "0*:c", "0*:d", "0*:e", "0*:f", "0:g"}}}) {
        for (bool masked : {false, true}) {
            const MessageLayout layout = layoutMessage(data.size(), maxFrame, masked);
            Bytes out(layout.bytes);
            encodeMessage(out.data(), data.data(), data.size(), opcodes::Text, maxFrame, masked);
            EXPECT_EQ(layout.frames, expected.size());
            EXPECT_EQ(parseFrames(out), expected);
            EXPECT_TRUE(out.empty());
        }
    }
    Bytes out(layoutMessage(0, 5, true).bytes);
    encodeMessage(out.data(), nullptr, 0, opcodes::Close, 5, true);
    EXPECT_EQ(parseFrames(out), std::vector<std::string>{"8:"});
    const char* names[] = {"Continuation", "Text",    "Binary", "Unknown", "Unknown", "Unknown",
                           "Unknown",      "Unknown", "Close",  "Ping",    "Pong",    "Unknown"};
    for (uint8_t op = 0; op < 12; ++op)
        EXPECT_EQ(WebSocketFrame::opcodeName(op), names[op]);
}

TEST(Frames, MaskingMatchesTheNaiveRuleAtEveryOffsetAndSize) {
    const uint8_t key[4] = {0xA1, 0x5B, 0x00, 0xFF};
    for (size_t n : {0, 1, 3, 7, 8, 31, 32, 33, 127, 128, 129, 1000}) {
        for (size_t offset = 0; offset < 4; ++offset) {
            const Bytes src = pattern(n);
            Bytes expected = src;
            for (size_t i = 0; i < n; ++i)
                expected[i] ^= key[(offset + i) % 4];
            Bytes inPlace = src, copied(n);
            applyMask(inPlace.data(), n, key, offset);
            copyWithMask(copied.data(), src.data(), n, key, offset);
            EXPECT_EQ(inPlace, expected) << n << "@" << offset;
            EXPECT_EQ(copied, expected) << n << "@" << offset;
        }
    }
    uint8_t a[4], b[4];
    drawMaskingKey(a);
    drawMaskingKey(b);
    EXPECT_NE(Bytes(a, a + 4), Bytes(b, b + 4));
}

TEST(Handshake, Primitives) {
    const std::string in[] = {"", "f", "fo", "foo", "foob", std::string("\0\xff\xfe", 3), "fooba"};
    const std::string out[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "AP/+", "Zm9vYmE="};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(Base64::encode(in[i]), out[i]);
        EXPECT_EQ(Base64::encode(bytesOf(in[i])), out[i]);
    }
    EXPECT_EQ(Base64::encode(SHA1Hash::hash("abc")), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_EQ(generateAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    std::mt19937 seeded(42), used(7), reference(7);
    EXPECT_EQ(generateNonce(seeded), "X8vzLrvHmZgncicZDnXdVQ==");
    generateNonce(used);
    reference.discard(16);
    EXPECT_EQ(used(), reference());
    // The request and response texts are checked byte for byte by the client and server cases.
    const ClientHandshakeRequest request = parseClientHandshakeRequest(
        "GET /Sec-WebSocket-Key: no HTTP/1.1\r\nsec-websocket-key: first\r\nHost: x\r\n"
        "SEC-WEBSOCKET-PROTOCOL: chat, v2\r\nX-Sec-WebSocket-Key: last\r\n"
        "Sec-WebSocket-Protocol: more\r\n\r\nSec-WebSocket-Key: after\r\n");
    EXPECT_EQ(request.key, "last");
    EXPECT_EQ(request.requestedProtocols, (std::vector<std::string>{"chat, v2", "more"}));
}

TEST(Handshake, ServerResponseCheckTable) {
    const std::string good = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
    const std::string invalid =
        "Handshake validation error: Invalid HTTP response or status code: ";
    const std::pair<std::string, std::string> table[] = {
        {"HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " + good + "\r\n\r\n", ""},
        {"HTTP/1.0 101 x\r\nsec-websocket-accept: wrong\r\nSEC-WEBSOCKET-ACCEPT: " + good +
             "\r\n\r\n",
         ""},
        {"HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: " + good + "\r\n\r\n",
         invalid + "HTTP/1.1 200  OK\r"},
        {"HTTP 101 x\r\n\r\n", invalid + "HTTP 101  x\r"},
        {"", invalid + "  "},
        {"HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\n\r\n",
         "Handshake validation error: Missing Sec-WebSocket-Accept in response"},
        {"HTTP/1.1 101 Switching\r\nSec-WebSocket-Accept: " + good +
             "\r\nSec-WebSocket-Accept: bad\r\n\r\n",
         "Handshake validation error: Invalid Sec-WebSocket-Accept: bad expected: " + good},
        {"HTTP/1.1 101 Switching\r\n\r\nSec-WebSocket-Accept: " + good + "\r\n",
         "Handshake validation error: Missing Sec-WebSocket-Accept in response"},
    };
    for (const auto& [response, failure] : table) {
        const ServerResponseCheck check = checkServerHandshakeResponse(response, good);
        EXPECT_EQ(check.accepted, failure.empty()) << response;
        EXPECT_EQ(check.failure, failure) << response;
    }
}

// "*" among the allowed origins admits any; without it only those listed.
TEST(Handshake, AllowedOrigins) {
    HandshakePolicy policy;
    HandshakeRequest request;
    request.headers.add("Origin", "https://any.example");
    std::string problem;
    for (const std::string last : {"*", "https://a.example"}) {
        policy.allowedOrigins = {"https://a.example", last};
        EXPECT_EQ(decideHandshake(policy, request, problem).accepted, last == "*") << last;
    }
}

// Offers and answers of permessage-deflate; "-" marks a declined offer or a failed response.
TEST(Handshake, DeflateNegotiationTable) {
    CompressionOptions on, strict, small;
    on.enabled = strict.enabled = small.enabled = true;
    strict.serverNoContextTakeover = strict.clientNoContextTakeover = true;
    small.serverMaxWindowBits = 10;
    small.clientMaxWindowBits = 12;
    EXPECT_EQ(buildDeflateOffer(on), "permessage-deflate; client_max_window_bits");
    EXPECT_EQ(buildDeflateOffer(strict),
              "permessage-deflate; server_no_context_takeover; "
              "client_no_context_takeover; client_max_window_bits");
    EXPECT_EQ(buildDeflateOffer(small),
              "permessage-deflate; server_max_window_bits=10; client_max_window_bits=12");
    small.serverMaxWindowBits = 8;
    EXPECT_EQ(compressionOptionsProblem(small), "compression window bits must be 9 to 15, not 8");
    small.serverMaxWindowBits = 10;
    const std::string pmd = "permessage-deflate";
    struct Row {
        const CompressionOptions& options;
        std::vector<std::string> values;
        std::string answer;
    };
    const Row server[] = {
        {on, {pmd + "; client_max_window_bits"}, pmd},
        {on,
         {"x-webkit-deflate-frame", " PerMessage-Deflate ;Server_No_Context_Takeover"},
         pmd + "; server_no_context_takeover"},
        {on,
         {pmd + "; server_max_window_bits=\"10\"; client_max_window_bits=12"},
         pmd + "; server_max_window_bits=10; client_max_window_bits=12"},
        {on,
         {pmd + "; server_max_window_bits=8, " + pmd + "; client_no_context_takeover"},
         pmd + "; client_no_context_takeover"},
        {strict, {pmd}, pmd + "; server_no_context_takeover; client_no_context_takeover"},
        {small, {pmd}, pmd + "; server_max_window_bits=10"},
        {small,
         {pmd + "; client_max_window_bits"},
         pmd + "; server_max_window_bits=10; client_max_window_bits=12"},
        {small,
         {pmd + "; server_max_window_bits=9; client_max_window_bits=11"},
         pmd + "; server_max_window_bits=9; client_max_window_bits=11"},
        {on, {pmd + "; server_no_context_takeover; server_no_context_takeover"}, "-"},
        {on, {pmd + "; mystery"}, "-"},
        {on, {pmd + "; server_max_window_bits"}, "-"},
        {on, {pmd + "; client_max_window_bits=08"}, "-"},
        {on, {pmd + "; client_max_window_bits=16"}, "-"},
        {on, {pmd + "; client_no_context_takeover=1"}, "-"},
        {on, {pmd + "; =x"}, "-"},
        {on, {"x-other"}, "-"},
    };
    for (const Row& row : server) {
        const DeflateAgreement answer = answerDeflateOffers(row.values, row.options);
        EXPECT_EQ(answer.agreed ? answer.header : "-", row.answer) << row.values[0];
    }
    const Row client[] = {
        {on, {pmd}, pmd},
        {on, {pmd + "; client_no_context_takeover"}, pmd + "; client_no_context_takeover"},
        {on, {pmd + "; server_no_context_takeover", "client_max_window_bits=10"}, "-"},
        {on,
         {pmd + "; server_no_context_takeover; client_max_window_bits=10"},
         pmd + "; server_no_context_takeover; client_max_window_bits=10"},
        {small, {pmd + "; server_max_window_bits=9"}, pmd + "; server_max_window_bits=9"},
        {small, {pmd + "; server_max_window_bits=12"}, "-"},
        {on, {pmd + "; client_max_window_bits"}, "-"},
        {on, {pmd + "; client_max_window_bits=8"}, "-"},
        {on, {pmd + ", " + pmd}, "-"},
        {on, {"x-other"}, "-"},
        {on, {pmd + "; client_no_context_takeover; mystery"}, "-"},
    };
    for (const Row& row : client) {
        const DeflateAgreement check = checkDeflateResponse(row.values, row.options);
        EXPECT_EQ(check.agreed ? check.header : "-", row.answer) << row.values[0];
        EXPECT_EQ(check.failure.empty(), check.agreed) << row.values[0];
    }
    EXPECT_EQ(checkDeflateResponse({pmd + ", x"}, on).failure,
              "Handshake validation error: Invalid Sec-WebSocket-Extensions: " + pmd + ", x");
    const DeflateAgreement none = checkDeflateResponse({}, on);
    EXPECT_TRUE(!none.agreed && none.failure.empty());
    const DeflateParameters agreed =
        checkDeflateResponse({pmd + "; server_max_window_bits=9; client_max_window_bits=13"}, small)
            .parameters;
    EXPECT_EQ(std::vector<int>({agreed.serverMaxWindowBits, agreed.clientMaxWindowBits}),
              std::vector<int>({9, 12}));
}

// Round trips with and without context takeover (the RFC's byte sequences run through the
// engine, client and server cases), then the inflation bound.
TEST(Handshake, MessageDeflateContextAndBounds) {
    using Result = MessageDecompressor::Result;
    const DeflateParameters reset{true};  // server_no_context_takeover
    // A server may ask a client that did not offer it to reset (RFC 7692, 7.1.1.2).
    CompressionOptions on;
    on.enabled = true;
    const DeflateParameters unoffered =
        checkDeflateResponse({"permessage-deflate; client_no_context_takeover"}, on).parameters;
    EXPECT_TRUE(unoffered.clientNoContextTakeover);
    Bytes out;
    for (const DeflateParameters& agreed : {DeflateParameters(), reset, unoffered}) {
        MessageDeflate server(agreed, true), client(agreed, false);
        MessageDeflate& from = agreed.clientNoContextTakeover ? client : server;
        MessageDeflate& to = agreed.clientNoContextTakeover ? server : client;
        std::vector<size_t> sizes;
        for (size_t n : {1000, 1000, 200000, 0}) {
            const Bytes data = pattern(n);
            Bytes message;
            from.compressor.compress(data.data(), data.size(), out);
            sizes.push_back(out.size());
            EXPECT_EQ(to.decompressor.add(out.data(), out.size(), message, n), Result::Ok);
            EXPECT_EQ(to.decompressor.finish(message, n), Result::Ok);
            EXPECT_EQ(message, data);
        }
        EXPECT_EQ(sizes[1] < sizes[0],
                  !agreed.serverNoContextTakeover && !agreed.clientNoContextTakeover);
        EXPECT_EQ(out, Bytes{0x00});  // the empty message, also right after a flush
    }
    // A megabyte of zeros in a thousand bytes stops one byte past the limit.
    MessageDeflate keep(DeflateParameters(), true);
    const Bytes zeros(1 << 20);
    keep.compressor.compress(zeros.data(), zeros.size(), out);
    Bytes message;
    EXPECT_EQ(keep.decompressor.add(out.data(), out.size(), message, 100000), Result::TooBig);
    EXPECT_EQ(message.size(), 100001u);
    EXPECT_LT(message.capacity(), 100001u + 64 * 1024);
}

TEST(Url, SplitsLikeTheGenericUriPattern) {
    struct Row {
        std::string url, scheme, host, port, path, query, fragment;
    };
    const Row table[] = {
        {"wss://example.com:8443/chat?room=1#top", "wss", "example.com", "8443", "/chat", "room=1",
         "top"},
        {"ws://h", "ws", "h", "", "", "", ""},
        {"ws://user@h:0080", "ws", "user@h", "0080", "", "", ""},
        {"ws://h:x/p", "ws", "h:x", "", "/p", "", ""},
        {"ws://[::1]:9/a", "ws", "[::1]", "9", "/a", "", ""},
        {"ws://a:1:2/", "ws", "a:1", "2", "/", "", ""},
        {"/only/path?q?r#f#g", "", "", "", "/only/path", "q?r", "f#g"},
        {"mailto:x@y", "mailto", "", "", "x@y", "", ""},
        {":nope", "", "", "", ":nope", "", ""},
        {"ws:?#", "ws", "", "", "", "", ""},
        {"a/b:c", "", "", "", "a/b:c", "", ""},
    };
    for (const Row& row : table) {
        const URL url = URL::parse(row.url);
        EXPECT_EQ((std::vector<std::string>{url.getScheme(), url.getHost(), url.getPort(),
                                            url.getPath(), url.getQuery(), url.getFragment()}),
                  (std::vector<std::string>{row.scheme, row.host, row.port, row.path, row.query,
                                            row.fragment}))
            << row.url;
    }
    EXPECT_THROW(URL::parse("ws://h/#a\nb"), std::invalid_argument);
    EXPECT_THROW(URL::parse("ws://h/#\r"), std::invalid_argument);
    EXPECT_NO_THROW(URL::parse("ws://h/\r\n?\n"));
    std::ostringstream text;
    text << URL::parse("ws://h:1/p?q#f");
    EXPECT_EQ(text.str(),
              "Scheme: 'ws'\nHost: 'h'\nPort: '1'\nPath: '/p'\nQuery: 'q'\nFragment: 'f'\n");
    EXPECT_EQ(URL::parse("ws://h/" + std::string(1 << 20, 'a')).getPath().size(), (1u << 20) + 1);
}

TEST(Url, WhatTheClientTakesFromIt) {
    using P = ClientTarget::Problem;
    const struct {
        std::string url, tlsPortTarget;
        P problem = P::none;
    } table[] = {
        {"wss://h/feed", "1 443 /feed"},
        {"ws://h", "0 80 /"},
        {"ws://h:9000/x?y=1#z", "0 9000 /x?y=1"},
        {"WSS://h", "1 443 /"},
        {"hTtPs://h:0080", "1 0080 /"},
        {"wssx://h", "0 80 /"},
        {"http://h:65535", "0 65535 /"},
        {"ws://h:99999/", "0 99999 /", P::portOutOfRange},
        {"ws://h:0", "0 0 /", P::portOutOfRange},
        {"wss://h:0000065536", "1 0000065536 /", P::portOutOfRange},
        {"notaurl", "0 80 notaurl", P::emptyHost},
        {"ws://", "0 80 /", P::emptyHost},
        {"ws://:8080/?q", "0 8080 /?q", P::emptyHost},
    };
    for (const auto& row : table) {
        const ClientTarget target = clientTarget(URL::parse(row.url));
        EXPECT_EQ(std::to_string(target.useTLS) + " " + target.port + " " + target.target,
                  row.tlsPortTarget)
            << row.url;
        EXPECT_EQ(target.problem, row.problem) << row.url;
    }
}

// Text as RFC 3629 has it, fed whole, byte by byte (the failure comes at the first byte no
// valid text could follow) and split into two and three pieces at every position.
TEST(Utf8, ValidatorTable) {
    const int ok = -1, open = -2;  // valid; valid so far but ends inside a character
    const std::pair<std::string, int> rows[] = {
        {"", ok},
        {"plain ascii, long enough for the fast path", ok},
        {"\x7F", ok},
        {"\xC2\x80", ok},
        {"\xDF\xBF", ok},
        {"\xE0\xA0\x80", ok},
        {"\xED\x9F\xBF", ok},
        {"\xEE\x80\x80", ok},
        {"\xEF\xBF\xBF", ok},
        {"\xF0\x90\x80\x80", ok},
        {"\xF4\x8F\xBF\xBF", ok},
        {"\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5", ok},
        {"\xC2", open},
        {"\xE1\x80", open},
        {"\xF0\x90\x80", open},
        {"abcdefgh\xF4", open},
        {"\x80", 0},
        {"\xBF", 0},
        {"\xC0\xAF", 0},
        {"\xC1\xBF", 0},  // stray, overlong 2
        {"\xE0\x9F\xBF", 1},
        {"\xF0\x8F\xBF\xBF", 1},  // overlong 3 and 4
        {"\xED\xA0\x80", 1},
        {"\xED\xBF\xBF", 1},  // surrogates
        {"\xF4\x90\x80\x80", 1},
        {"\xF5\x80\x80\x80", 0},
        {"\xFF", 0},  // above U+10FFFF
        {"\xC2\x41", 1},
        {"\xE1\x80\xC0", 2},
        {"abcdefghijk\xC2\xC2", 12},  // missing tails
        {"\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5\xED\xA0\x80"
         "edited",
         12}};
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(::testing::PrintToString(text));
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        EXPECT_EQ(Utf8Validator::valid(data, text.size()), expected == ok);
        Utf8Validator byByte;
        int failedAt = -1;
        for (size_t i = 0; i < text.size() && failedAt < 0; ++i)
            failedAt = byByte.feed(data + i, 1) ? -1 : static_cast<int>(i);
        EXPECT_EQ(failedAt, expected >= 0 ? expected : -1);
        EXPECT_EQ(failedAt < 0 && byByte.complete(), expected == ok);
        for (size_t a = 0; a <= text.size(); ++a)
            for (size_t b = a; b <= text.size(); ++b) {
                Utf8Validator v;
                const bool fed =
                    v.feed(data, a) && v.feed(data + a, b - a) && v.feed(data + b, text.size() - b);
                EXPECT_EQ(fed && v.complete(), expected == ok) << a << " " << b;
            }
    }
}

TEST(CloseStatus, CodesAndPayloadsAStrictEndpointTakes) {
    for (const uint16_t code :
         {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 3999, 4000, 4999})
        EXPECT_TRUE(closeCodeAllowed(code)) << code;
    for (const uint16_t code :
         {0, 999, 1004, 1005, 1006, 1012, 1013, 1014, 1015, 1016, 1100, 2000, 2999, 5000, 65535})
        EXPECT_FALSE(closeCodeAllowed(code)) << code;
    const std::pair<std::string, ClosePayloadCheck> rows[] = {
        {"", ClosePayloadCheck::fine},
        {"\x03", ClosePayloadCheck::protocolError},
        {std::string("\x03\xE8", 2), ClosePayloadCheck::fine},
        {"\x03\xE8\xCE\xBA bye", ClosePayloadCheck::fine},
        {"\x03\xED", ClosePayloadCheck::protocolError},
        {"\x03\xE8\xED\xA0\x80", ClosePayloadCheck::invalidText},
        {"\x03\xE8\xC2", ClosePayloadCheck::invalidText}};
    for (const auto& [payload, expected] : rows)
        EXPECT_EQ(
            checkClosePayload(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()),
            expected)
            << ::testing::PrintToString(payload);
}

}  // namespace
