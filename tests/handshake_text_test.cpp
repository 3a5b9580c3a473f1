#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HandshakeText.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

const std::string expectedAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string response(const std::string& statusLine, const std::string& headers) {
    return statusLine + "\r\n" + headers + "\r\n";
}

const char* const badStatusPrefix =
    "Handshake validation error: Invalid HTTP response or status code: ";

}  // namespace

TEST(ClientHandshakeRequest, HasSixLinesAndTheEmptyLineWithoutSubprotocols) {
    EXPECT_EQ(
        buildClientHandshakeRequest("/chat?room=1", "example.com", "dGhlIHNhbXBsZSBub25jZQ==", {}),
        "GET /chat?room=1 HTTP/1.1\r\n"
        "Host: example.com\r\n"
        "Upgrade: websocket\r\n"
        "Connection: keep-alive, Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n"
        "\r\n");
}

TEST(ClientHandshakeRequest, ListsSubprotocolsInOrderIncludingEmptyEntries) {
    const std::string request = buildClientHandshakeRequest("/", "h", "k", {"a", "b", "", "c"});
    EXPECT_EQ(request,
              "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\n"
              "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: k\r\n"
              "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: a, b, , c\r\n\r\n");
}

TEST(HeaderBlockEnd, CountsUpToAndIncludingTheFirstEmptyLine) {
    EXPECT_EQ(findHeaderBlockEnd(""), 0u);
    EXPECT_EQ(findHeaderBlockEnd("HTTP/1.1 101\r\n\r"), 0u);
    EXPECT_EQ(findHeaderBlockEnd("HTTP/1.1 101\r\n\r\n"), 16u);
    EXPECT_EQ(findHeaderBlockEnd("A\r\n\r\nB\r\n\r\n"), 5u);
    EXPECT_EQ(findHeaderBlockEnd(std::string("\x81\x02hi\r\n\r\n", 8)), 8u);
}

TEST(ServerResponseCheck, AcceptsTheWorkedExampleAndRecordsSubprotocols) {
    const ServerResponseCheck check = checkServerHandshakeResponse(
        response("HTTP/1.1 101 Switching Protocols",
                 "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                 "Sec-WebSocket-Protocol: chat\r\nsec-websocket-protocol: never-offered\r\n"),
        expectedAccept);
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(check.failure, "");
    EXPECT_EQ(check.protocols, (std::vector<std::string>{"chat", "never-offered"}));
}

TEST(ServerResponseCheck, MatchesHeaderNamesInAnyCaseButValuesExactly) {
    EXPECT_TRUE(checkServerHandshakeResponse(
                    response("HTTP/1.1 101 Switching Protocols",
                             "sec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
                    expectedAccept)
                    .accepted);
    const ServerResponseCheck check = checkServerHandshakeResponse(
        response("HTTP/1.1 101 Switching Protocols",
                 "SEC-WEBSOCKET-ACCEPT: S3PPLMBITXAQ9KYGZZHZRBK+XOO=\r\n"),
        expectedAccept);
    EXPECT_FALSE(check.accepted);
    EXPECT_EQ(check.failure,
              "Handshake validation error: Invalid Sec-WebSocket-Accept: "
              "S3PPLMBITXAQ9KYGZZHZRBK+XOO= expected: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(ServerResponseCheck, StatusLineChecksOnlyTheVersionPrefixAndTheExactStatus) {
    const std::string accept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    EXPECT_TRUE(checkServerHandshakeResponse(response("HTTP/1.0 101 Switching Protocols", accept),
                                             expectedAccept)
                    .accepted);
    EXPECT_TRUE(
        checkServerHandshakeResponse(response("HTTP/9 101", accept), expectedAccept).accepted);
    EXPECT_TRUE(
        checkServerHandshakeResponse(response("HTTP/1.1 101", accept), expectedAccept).accepted);

    struct Case {
        std::string statusLine;
        std::string appended;  // what follows the fixed text
    };
    const std::vector<Case> refused = {
        {"HTTP/1.1 200 OK", "HTTP/1.1 200  OK\r"},
        {"HTTP/1.1 101x Switching", "HTTP/1.1 101x  Switching\r"},
        {"HTTP/1.1 404 Not Found", "HTTP/1.1 404  Not Found\r"},
        {"HTTP 101 Switching", "HTTP 101  Switching\r"},
        {"HTTP/ 1010 x", "HTTP/ 1010  x\r"},
        {"http/1.1 101 x", "http/1.1 101  x\r"},
    };
    for (const Case& c : refused) {
        const ServerResponseCheck check =
            checkServerHandshakeResponse(response(c.statusLine, accept), expectedAccept);
        EXPECT_FALSE(check.accepted) << c.statusLine;
        EXPECT_EQ(check.failure, badStatusPrefix + c.appended) << c.statusLine;
        EXPECT_TRUE(check.protocols.empty());
    }
}

TEST(ServerResponseCheck, MissingTokensLeaveEmptyPartsInTheStatusText) {
    EXPECT_EQ(checkServerHandshakeResponse("\r\n\r\n", expectedAccept).failure,
              std::string(badStatusPrefix) + "  ");
    EXPECT_EQ(checkServerHandshakeResponse("HTTP/1.1\r\n\r\n", expectedAccept).failure,
              std::string(badStatusPrefix) + "HTTP/1.1  ");
    // Tokens may be separated by any whitespace, line ends included.
    EXPECT_TRUE(checkServerHandshakeResponse(
                    "HTTP/1.1\t101\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
                    expectedAccept)
                    .accepted);
}

TEST(ServerResponseCheck, AcceptValueRules) {
    const std::string status = "HTTP/1.1 101 Switching Protocols";
    const std::string missing =
        "Handshake validation error: Missing Sec-WebSocket-Accept in response";
    struct Case {
        std::string headers;
        std::string failure;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"Upgrade: websocket\r\n", missing},
        {"Sec-WebSocket-Accept: \r\n", missing},
        // The last accept line counts, also when it is empty.
        {"Sec-WebSocket-Accept: wrong\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
         ""},
        {"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nSec-WebSocket-Accept: \r\n",
         missing},
        {"Sec-WebSocket-Accept:  s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
         "Handshake validation error: Invalid Sec-WebSocket-Accept:  s3pPLMBiTxaQ9kYGzzhZRbK+xOo= "
         "expected: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
        {"Sec-WebSocket-Accept:s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n", missing},
        // Found anywhere in a line, also inside another header.
        {"X-Note: Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n", ""},
        // Trailing blanks are part of the value; only the CR ends it.
        {"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo= \r\n",
         "Handshake validation error: Invalid Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=  "
         "expected: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
    };
    for (const Case& c : cases) {
        const ServerResponseCheck check =
            checkServerHandshakeResponse(response(status, c.headers), expectedAccept);
        EXPECT_EQ(check.accepted, c.failure.empty()) << c.headers;
        EXPECT_EQ(check.failure, c.failure) << c.headers;
    }
}

TEST(ServerResponseCheck, StopsAtTheEmptyLineAndAcceptsLinesWithoutCr) {
    // Lines after the empty line are not searched.
    EXPECT_FALSE(checkServerHandshakeResponse(
                     "HTTP/1.1 101 x\r\n\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
                     expectedAccept)
                     .accepted);
    // Bare LF line ends still split lines; the value then has no CR to stop at.
    EXPECT_TRUE(
        checkServerHandshakeResponse(
            "HTTP/1.1 101 x\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\n", expectedAccept)
            .accepted);
    // An accept line that is also a protocol line counts as accept only.
    const ServerResponseCheck check = checkServerHandshakeResponse(
        response(
            "HTTP/1.1 101 x",
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Sec-WebSocket-Protocol: a, Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
        expectedAccept);
    EXPECT_TRUE(check.accepted);
    EXPECT_TRUE(check.protocols.empty());
}
