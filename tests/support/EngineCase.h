#pragma once

// One engine case on the in-memory stream, for the engine tables: the frames a peer sends, the
// host's part, and the handler calls, frames written and log lines that must follow.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "MemoryConnection.h"
#include "Support.h"

namespace tidewire_test {

using relaymatrix::extensions::tidewire::WebSocketSession;
using tidewire_memory::Script;

constexpr uint8_t T = 1, B = 2, C = 0, CLOSE = 8, PING = 9, PONG = 10, PAUSE = 0xFF;

struct Case {
    const char* name;
    std::vector<std::tuple<uint8_t, std::string, bool>> frames;  // opcode, payload, fin
    std::vector<std::string> events;
    std::vector<std::string> written = {};  // frames as parseFrames shows them
    std::vector<std::string> logs = {};  // each must appear (as often as listed); % is the prefix
    uint64_t maxMessageSize = 100 * 1024 * 1024;
    std::function<void(WebSocketSession&)> host = [](WebSocketSession&) {};
    Script script = {};
};

inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

template <bool Client>
void runCase(const Case& c) {
    const std::string prefix =
        Client ? "[WebSocketClient] " : "[WebSocketServer][WebSocketSession] ";
    Script script = c.script;
    for (const auto& [opcode, payload, fin] : c.frames) {
        if (opcode == PAUSE) {
            script.pauseAt = script.input.size();
            continue;
        }
        const Bytes f = frame(opcode, bytesOf(payload), !Client, fin);
        script.input.insert(script.input.end(), f.begin(), f.end());
    }
    LogRecorder logs;
    Recorder events;
    Bytes output = tidewire_memory::runConnection<Client>(
        script, c.maxMessageSize, [&](WebSocketSession& host) {
            record(host, events);
            host.onOpenHandler = nullptr;
            c.host(host);
            auto rowOpen = host.onOpenHandler;
            host.onOpenHandler = [&events, rowOpen] { events.add("open"), rowOpen(); };
        });
    EXPECT_EQ(events.all(), c.events);
    std::vector<bool> masks;
    EXPECT_EQ(parseFrames(output, &masks), c.written);
    EXPECT_TRUE(output.empty() || c.script.failWriteAfter != SIZE_MAX || c.script.writeChunk)
        << "a cut frame";
    EXPECT_EQ(std::count(masks.begin(), masks.end(), !Client), 0) << "only a client masks";
    std::map<std::string, size_t> wanted;
    for (std::string line : c.logs) {
        line.replace(line.find('%'), 1, prefix);
        if (line.find('#') != std::string::npos)
            line.replace(line.find('#'), 1, Client ? "0" : "1");
        ++wanted[line];
    }
    for (const auto& [line, n] : wanted)
        EXPECT_GE(logs.count(line), n) << line;
}

}  // namespace tidewire_test
