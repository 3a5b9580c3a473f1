#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "SessionEvents.h"
#include "tidewire/WebSocketSession.h"

// The C++ side of the conversation described in conversation.js: the same sizes, patterns,
// messages and close reasons, byte for byte.
namespace interop {

using Bytes = std::vector<uint8_t>;

struct Message {
    Bytes bytes;
    bool isText;
};

inline const std::vector<size_t>& sizes() {
    static const std::vector<size_t> values = {0, 1, 125, 126, 65535, 65536, 1024 * 1024};
    return values;
}

constexpr size_t fragmentedBinaryPiece = 64 * 1024;
// Frames of our server's opening messages: every large one arrives as fragments.
constexpr size_t openingFrameSize = 4096;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline const std::string& clientCloseReason() {
    static const std::string reason = "done: client closes \xc3\xa9";
    return reason;
}

inline const std::string& serverCloseReason() {
    static const std::string reason = "done: server closes";
    return reason;
}

// Close payload: status 1000, then the reason.
inline Bytes closePayload(const std::string& reason) {
    Bytes payload = {0x03, 0xE8};
    payload.insert(payload.end(), reason.begin(), reason.end());
    return payload;
}

inline Bytes binaryPattern(size_t size, unsigned seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 16));
    }
    return bytes;
}

// Valid UTF-8 of exactly `size` bytes: letters with two-, three- and four-byte characters
// mixed in (a wide character that does not fit the rest becomes a letter).
inline Bytes textPattern(size_t size, unsigned seed) {
    static const std::string wide[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    Bytes bytes;
    bytes.reserve(size);
    for (size_t i = 0; bytes.size() < size; ++i) {
        const size_t k = (i * 7 + seed) % 32;
        if (k >= 29 && wide[k - 29].size() <= size - bytes.size()) {
            bytes.insert(bytes.end(), wide[k - 29].begin(), wide[k - 29].end());
        } else {
            bytes.push_back(static_cast<uint8_t>('a' + k % 26));
        }
    }
    return bytes;
}

// What the server sends right after the opening handshake.
inline std::vector<Message> serverOpening() {
    std::vector<Message> messages = {{bytesOf("welcome"), true}};
    for (size_t i = 0; i < sizes().size(); ++i) {
        messages.push_back({binaryPattern(sizes()[i], static_cast<unsigned>(100 + i)), false});
        messages.push_back({textPattern(sizes()[i], static_cast<unsigned>(110 + i)), true});
    }
    return messages;
}

// The fragmented messages of peers that can send fragments (node ws, our client): the text
// "frag-ment-ed" and a binary MiB.
inline std::vector<Message> fragmentedMessages() {
    return {{bytesOf("frag-ment-ed"), true}, {binaryPattern(1024 * 1024, 120), false}};
}

// What the client of the "conversation" connection sends, each echoed by the server.
inline std::vector<Message> clientMessages(bool withFragments) {
    std::vector<Message> messages;
    for (size_t i = 0; i < sizes().size(); ++i) {
        messages.push_back({binaryPattern(sizes()[i], static_cast<unsigned>(i)), false});
        messages.push_back({textPattern(sizes()[i], static_cast<unsigned>(10 + i)), true});
    }
    if (withFragments) {
        for (Message& message : fragmentedMessages()) {
            messages.push_back(std::move(message));
        }
    }
    messages.push_back({bytesOf("ping me"), true});
    return messages;
}

// A message as tidewire_test::SessionEvents records it.
inline std::string event(const Message& message) {
    return (message.isText ? "text:" : "binary:") +
           std::string(message.bytes.begin(), message.bytes.end());
}

// Our server's side: the opening messages (in frames of openingFrameSize), then an echo of
// every message; "ping me" is preceded by a ping "srv-ping", "close me" answered by a Close.
inline void serveConversation(relaymatrix::extensions::tidewire::WebSocketSession& session,
                              tidewire_test::SessionEvents& events) {
    events.afterOpen = [&session] {
        for (const Message& message : serverOpening()) {
            session.send(message.bytes, message.isText, openingFrameSize);
        }
    };
    events.afterMessage = [&session](const Bytes& bytes, bool isText) {
        const std::string text(bytes.begin(), bytes.end());
        if (isText && text == "close me") {
            session.close(closePayload(serverCloseReason()));
            return;
        }
        if (isText && text == "ping me") {
            session.ping(bytesOf("srv-ping"));
        }
        session.send(bytes, isText, 0);
    };
}

// The events our server records for the two connections of the conversation.
inline std::vector<std::string> serverEventsOfConversation(bool withFragments) {
    std::vector<std::string> events = {"open"};
    for (const Message& message : clientMessages(withFragments)) {
        events.push_back(event(message));
    }
    events.push_back("close");
    return events;
}

inline std::vector<std::string> serverEventsOfServerCloses() {
    return {"open", "text:close me", "close"};
}

// Compares recorded events without printing megabytes: the first difference is named.
inline std::string firstDifference(const std::vector<std::string>& actual,
                                   const std::vector<std::string>& expected) {
    for (size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            return "event " + std::to_string(i) + ": got " + actual[i].substr(0, 60) + " (" +
                   std::to_string(actual[i].size()) + " bytes), expected " +
                   expected[i].substr(0, 60) + " (" + std::to_string(expected[i].size()) +
                   " bytes)";
        }
    }
    if (actual.size() != expected.size()) {
        return std::to_string(actual.size()) + " events, expected " +
               std::to_string(expected.size()) +
               (actual.empty() ? "" : "; last: " + actual.back().substr(0, 60));
    }
    return std::string();
}

// node with one of the peer scripts of this folder.
inline ChildProcess startNode(const std::string& script, std::vector<std::string> arguments) {
    std::vector<std::string> argv = {"node", std::string(TIDEWIRE_INTEROP_DIR) + "/" + script};
    argv.insert(argv.end(), std::make_move_iterator(arguments.begin()),
                std::make_move_iterator(arguments.end()));
    return ChildProcess(std::move(argv));
}

// Reads lines until `expected` (true), a "FAILED" line, the end of output or the deadline
// (false). `seen` collects every line read, for the failure message.
inline bool awaitLine(ChildProcess& child, const std::string& expected, std::string& seen,
                      std::chrono::seconds timeout = std::chrono::seconds(170)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const std::string line = child.readLine(left);
        if (line.empty() && child.atEnd()) {
            seen += child.unread();
            return false;
        }
        seen += line + "\n";
        if (line == expected) {
            return true;
        }
        if (line.rfind("FAILED", 0) == 0) {
            return false;
        }
    }
}

}  // namespace interop
