#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tidewire/URL.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

struct Parts {
    std::string scheme, host, port, path, query, fragment;
};

void expectParts(const std::string& text, const Parts& expected) {
    const URL url = URL::parse(text);
    EXPECT_EQ(url.getScheme(), expected.scheme) << text.substr(0, 80);
    EXPECT_EQ(url.getHost(), expected.host) << text.substr(0, 80);
    EXPECT_EQ(url.getPort(), expected.port) << text.substr(0, 80);
    EXPECT_EQ(url.getPath(), expected.path) << text.substr(0, 80);
    EXPECT_EQ(url.getQuery(), expected.query) << text.substr(0, 80);
    EXPECT_EQ(url.getFragment(), expected.fragment) << text.substr(0, 80);
}

void expectInvalid(const std::string& text) {
    try {
        URL::parse(text);
        ADD_FAILURE() << "no exception for " << text.substr(0, 80);
    } catch (const std::invalid_argument& e) {
        // what() is a C string: a NUL in the text ends it there.
        EXPECT_STREQ(e.what(), ("Invalid URL format: " + text).c_str());
    }
}

// The pattern itself, as the reference for short inputs (std::regex recurses per character).
bool parseWithRegex(const std::string& text, Parts& parts) {
    static const std::regex pattern("^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\\?([^#]*))?(#(.*))?");
    std::smatch match;
    if (!std::regex_match(text, match, pattern)) {
        return false;
    }
    parts.scheme = match[2].str();
    const std::string authority = match[4].str();
    parts.path = match[5].str();
    parts.query = match[7].str();
    parts.fragment = match[9].str();
    const size_t colon = authority.rfind(':');
    const std::string tail = colon == std::string::npos ? "" : authority.substr(colon + 1);
    if (!tail.empty() && tail.find_first_not_of("0123456789") == std::string::npos) {
        parts.host = authority.substr(0, colon);
        parts.port = tail;
    } else {
        parts.host = authority;
        parts.port.clear();
    }
    return true;
}

}  // namespace

TEST(URL, ExamplesSplitIntoComponents) {
    expectParts("ws://host:8080/chat?room=1#top", {"ws", "host", "8080", "/chat", "room=1", "top"});
    expectParts("wss://10.0.0.5", {"wss", "10.0.0.5", "", "", "", ""});
    expectParts("ws://[::1]:9000/", {"ws", "[::1]", "9000", "/", "", ""});
    expectParts("ws://[::1]/", {"ws", "[::1]", "", "/", "", ""});
    expectParts("ws://host:/x", {"ws", "host:", "", "/x", "", ""});
    expectParts("ws://host:80a/", {"ws", "host:80a", "", "/", "", ""});
    expectParts("ws://user:pw@host:81/p", {"ws", "user:pw@host", "81", "/p", "", ""});
    expectParts("ws://user:pw@host/p", {"ws", "user:pw@host", "", "/p", "", ""});
    expectParts("localhost:8080", {"localhost", "", "", "8080", "", ""});
    expectParts("", {"", "", "", "", "", ""});
    expectParts("ws://h:0080/", {"ws", "h", "0080", "/", "", ""});
    expectParts("ws://h:99999", {"ws", "h", "99999", "", "", ""});
    expectParts("//host/p", {"", "host", "", "/p", "", ""});
    expectParts(":x", {"", "", "", ":x", "", ""});
    expectParts("a?b?c#d#e?", {"", "", "", "a", "b?c", "d#e?"});
    expectParts("ws://h/p a\nb?q\r#", {"ws", "h", "", "/p a\nb", "q\r", ""});
}

TEST(URL, LineBreakAfterFirstHashFails) {
    expectInvalid("ws://host/p#frag\nment");
    expectInvalid("ws://host/p#\r");
    expectInvalid("#a#b\n");
    expectParts("ws://host/p\n?x\n", {"ws", "host", "", "/p\n", "x\n", ""});
}

TEST(URL, StreamOutputIsSixQuotedLines) {
    std::ostringstream out;
    out << URL::parse("ws://host:8080/chat?room=1#top");
    EXPECT_EQ(out.str(),
              "Scheme: 'ws'\nHost: 'host'\nPort: '8080'\nPath: '/chat'\nQuery: 'room=1'\n"
              "Fragment: 'top'\n");

    std::ostringstream empty;
    empty << URL::parse("wss://10.0.0.5");
    EXPECT_EQ(empty.str(),
              "Scheme: 'wss'\nHost: '10.0.0.5'\nPort: ''\nPath: ''\nQuery: ''\nFragment: ''\n");

    std::ostringstream unescaped;
    unescaped << URL::parse("a:'b'");
    EXPECT_EQ(unescaped.str(),
              "Scheme: 'a'\nHost: ''\nPort: ''\nPath: ''b''\nQuery: ''\n"
              "Fragment: ''\n");
}

TEST(URL, MebibyteInputsParseWithoutDeepRecursion) {
    const std::string big(1 << 20, 'x');
    expectParts("ws://h:1/" + big, {"ws", "h", "1", "/" + big, "", ""});
    expectParts("ws://" + big + ":443/p", {"ws", big, "443", "/p", "", ""});
    expectParts("ws://h/?" + big + "#" + big, {"ws", "h", "", "/", big, big});
    expectParts(big + ":rest", {big, "", "", "rest", "", ""});
    expectParts(big, {"", "", "", big, "", ""});
    expectInvalid("ws://h/#" + big + "\n");
}

TEST(URL, AgreesWithThePatternOnGeneratedInputs) {
    const std::string alphabet = std::string("ab1:/?#@[]\n\r ") + '\0';
    std::mt19937 rng(12345);
    for (int n = 0; n < 20000; ++n) {
        std::string text(rng() % 16, ' ');
        for (char& c : text) {
            c = alphabet[rng() % alphabet.size()];
        }
        Parts expected;
        if (parseWithRegex(text, expected)) {
            expectParts(text, expected);
        } else {
            expectInvalid(text);
        }
        if (HasFailure()) {
            break;
        }
    }
}
