#pragma once

// The opening-handshake texts read the slow, literal way: a std::istringstream for tokens and
// lines, and std::regex (ECMAScript, case-insensitive) for the header searches. The fuzz
// targets hold the library's hand-written readers to the same answers.

#include <cstddef>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "EngineHarness.h"

namespace tidewire_fuzz {

// std::regex recurses once or more per character it matches; past this line length a plain
// case-folding search (checked against the regex on shorter lines) stands in for it.
constexpr size_t regexLineLimit = 512;

inline std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// A header name as the readers search it: "<name>: (.*)" anywhere in a line.
struct HeaderName {
    explicit HeaderName(const std::string& name)
        : needle(lowerAscii(name + ": ")),
          pattern(name + ": (.*)", std::regex::ECMAScript | std::regex::icase) {}
    std::string needle;  // lower case
    std::regex pattern;
};

inline const HeaderName& keyHeader() {
    static const HeaderName name("Sec-WebSocket-Key");
    return name;
}
inline const HeaderName& acceptHeader() {
    static const HeaderName name("Sec-WebSocket-Accept");
    return name;
}
inline const HeaderName& protocolHeader() {
    static const HeaderName name("Sec-WebSocket-Protocol");
    return name;
}

// Searches one line (without its LF): on a hit, `value` is what follows the first
// occurrence up to the first CR.
inline bool searchHeader(const std::string& line, const HeaderName& name, std::string& value) {
    const size_t at = lowerAscii(line).find(name.needle);
    const bool found = at != std::string::npos;
    std::string plainValue;
    if (found) {
        const std::string rest = line.substr(at + name.needle.size());
        plainValue = rest.substr(0, rest.find('\r'));
    }
    if (line.size() <= regexLineLimit) {
        std::smatch match;
        const bool matched = std::regex_search(line, match, name.pattern);
        check(matched == found, "plain header search disagrees with the regex");
        if (matched) {
            check(match[1].str() == plainValue, "plain header value disagrees with the regex");
        }
    }
    value = plainValue;
    return found;
}

struct RequestOracle {
    std::string key;
    std::vector<std::string> protocols;
};

// The server's reading of a request header block.
inline RequestOracle readRequest(const std::string& block) {
    RequestOracle result;
    std::istringstream in(block);
    std::string line;
    std::getline(in, line);  // the request line, never examined
    std::string value;
    while (std::getline(in, line) && line != "\r") {
        if (searchHeader(line, keyHeader(), value)) {
            result.key = value;
        } else if (searchHeader(line, protocolHeader(), value)) {
            result.protocols.push_back(value);
        }
    }
    return result;
}

struct ResponseOracle {
    bool accepted = false;
    std::string failure;
    std::vector<std::string> protocols;
};

// The client's check of a response header block against the accept value it expects.
inline ResponseOracle readResponse(const std::string& block, const std::string& expectedAccept) {
    ResponseOracle result;
    std::istringstream in(block);
    std::string version;
    std::string status;
    std::string rest;
    in >> version >> status;
    std::getline(in, rest);
    if (version.size() < 5 || version.compare(0, 5, "HTTP/") != 0 || status != "101") {
        result.failure =
            "Handshake validation error: Invalid HTTP response or status code: " + version + " " +
            status + " " + rest;
        return result;
    }
    std::string accept;
    std::string line;
    std::string value;
    while (std::getline(in, line) && line != "\r") {
        if (searchHeader(line, acceptHeader(), value)) {
            accept = value;
        } else if (searchHeader(line, protocolHeader(), value)) {
            result.protocols.push_back(value);
        }
    }
    if (accept.empty()) {
        result.failure = "Handshake validation error: Missing Sec-WebSocket-Accept in response";
    } else if (accept != expectedAccept) {
        result.failure = "Handshake validation error: Invalid Sec-WebSocket-Accept: " + accept +
                         " expected: " + expectedAccept;
    } else {
        result.accepted = true;
    }
    return result;
}

// Where the header block at the front of `stream` ends (just past its "\r\n\r\n"), or npos.
inline size_t headerBlockEnd(std::string_view stream) {
    const size_t at = stream.find("\r\n\r\n");
    return at == std::string_view::npos ? at : at + 4;
}

}  // namespace tidewire_fuzz
