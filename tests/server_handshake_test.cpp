#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "HandshakeText.h"
#include "tidewire/Handshake.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

constexpr const char* sampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr const char* sampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string request(const std::vector<std::string>& headerLines,
                    const std::string& requestLine = "GET /chat HTTP/1.1") {
    std::string text = requestLine + "\r\n";
    for (const std::string& line : headerLines) {
        text += line + "\r\n";
    }
    return text + "\r\n";
}

}  // namespace

TEST(ServerHandshakeResponse, SampleKeyGivesTheExact129Bytes) {
    const std::string response = buildServerHandshakeResponse(sampleKey);
    EXPECT_EQ(response, std::string("HTTP/1.1 101 Switching Protocols\r\n"
                                    "Upgrade: websocket\r\n"
                                    "Connection: Upgrade\r\n"
                                    "Sec-WebSocket-Accept: ") +
                            sampleAccept + "\r\n\r\n");
    EXPECT_EQ(response.size(), 129u);
}

TEST(ServerHandshakeResponse, EmptyKeyStillAnswers101WithTheEmptyKeysAccept) {
    const std::string response = buildServerHandshakeResponse("");
    EXPECT_EQ(response.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
    EXPECT_NE(response.find("Sec-WebSocket-Accept: " + generateAcceptKey("") + "\r\n\r\n"),
              std::string::npos);
}

TEST(ServerHandshakeRequest, KeyAndProtocolsAsTheRequestGivesThem) {
    struct Case {
        const char* name;
        std::string text;
        std::string key;
        std::vector<std::string> protocols;
    };
    const Case cases[] = {
        {"standard",
         request({"Host: server.example.com", "Upgrade: websocket", "Connection: Upgrade",
                  std::string("Sec-WebSocket-Key: ") + sampleKey, "Sec-WebSocket-Version: 13"}),
         sampleKey,
         {}},
        {"lower-case name", request({"sec-websocket-key: abc"}), "abc", {}},
        {"mixed-case name", request({"SEC-WEBSOCKET-KEY: abc"}), "abc", {}},
        {"no blank after the colon", request({"Sec-WebSocket-Key:abc"}), "", {}},
        {"two key lines: the last wins",
         request({"Sec-WebSocket-Key: first", "Sec-WebSocket-Key: second"}),
         "second",
         {}},
        {"trailing blanks belong to the key", request({"Sec-WebSocket-Key: abc  "}), "abc  ", {}},
        {"two blanks after the colon", request({"Sec-WebSocket-Key:  abc"}), " abc", {}},
        {"no key line", request({"Host: x"}), "", {}},
        {"key on the request line is ignored",
         request({"Host: x"}, "GET /Sec-WebSocket-Key: evil HTTP/1.1"),
         "",
         {}},
        {"name inside another header", request({"X-Sec-WebSocket-Key: inner"}), "inner", {}},
        {"protocols, one per line, as sent",
         request({"Sec-WebSocket-Protocol: chat, superchat", "sec-websocket-protocol: v2 "}),
         "",
         {"chat, superchat", "v2 "}},
        {"a line with both names counts as the key line",
         request({"Sec-WebSocket-Protocol: a Sec-WebSocket-Key: k"}),
         "k",
         {}},
        {"lines after the empty line are not read",
         request({"Host: x"}) + "Sec-WebSocket-Key: late\r\n\r\n",
         "",
         {}},
        {"bare LF lines", "GET / HTTP/1.1\nSec-WebSocket-Key: lf\n\r\n", "lf", {}},
        {"empty input", "", "", {}},
    };
    for (const Case& c : cases) {
        const ClientHandshakeRequest parsed = parseClientHandshakeRequest(c.text);
        EXPECT_EQ(parsed.key, c.key) << c.name;
        EXPECT_EQ(parsed.requestedProtocols, c.protocols) << c.name;
    }
}

// The header matching must behave like the case-insensitive search of "Name: (.*)" (where
// "." matches neither CR nor LF) on every line; compared here on random lines built from
// pieces of the names, case changes and CRs.
TEST(ServerHandshakeRequest, MatchesTheCaseInsensitiveRegexSearchOnRandomLines) {
    const std::regex keyPattern("Sec-WebSocket-Key: (.*)", std::regex::icase);
    const std::regex protocolPattern("Sec-WebSocket-Protocol: (.*)", std::regex::icase);
    const std::vector<std::string> pieces = {"Sec-WebSocket-Key: ",
                                             "sec-websocket-key: ",
                                             "Sec-WebSocket-Protocol: ",
                                             "SEC-WEBSOCKET-",
                                             "Key",
                                             ": ",
                                             " ",
                                             "\r",
                                             "x",
                                             "K",
                                             "\x80",
                                             "Sec-"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string line;
        const int count = static_cast<int>(rng() % 7);
        for (int i = 0; i < count; ++i) {
            line += pieces[rng() % pieces.size()];
        }
        std::string expectedKey;
        std::vector<std::string> expectedProtocols;
        std::smatch match;
        if (std::regex_search(line, match, keyPattern)) {
            expectedKey = match[1];
        } else if (std::regex_search(line, match, protocolPattern)) {
            expectedProtocols.push_back(match[1]);
        }
        const ClientHandshakeRequest parsed =
            parseClientHandshakeRequest("GET / HTTP/1.1\r\n" + line + "\n\r\n");
        ASSERT_EQ(parsed.key, expectedKey) << line;
        ASSERT_EQ(parsed.requestedProtocols, expectedProtocols) << line;
    }
}

TEST(ServerHandshakeRequest, LinesAsLongAsTheHeaderCapAreHarmless) {
    const std::string longValue(64 * 1024, 'k');
    const ClientHandshakeRequest parsed =
        parseClientHandshakeRequest(request({"Sec-WebSocket-Key: " + longValue}));
    EXPECT_EQ(parsed.key, longValue);

    const std::string nearMisses(64 * 1024, 'S');  // every position starts a partial match
    EXPECT_EQ(parseClientHandshakeRequest(request({nearMisses})).key, "");
}
