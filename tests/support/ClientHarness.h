#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "ScriptedPeer.h"
#include "SessionEvents.h"
#include "tidewire/WebSocketClient.h"

namespace tidewire_test {

// A client connected to a scripted peer through a completed opening handshake. Members are
// declared so that the client goes first on destruction, before what its handlers use.
struct ClientHarness : ::testing::Test {
    using Client = relaymatrix::extensions::tidewire::WebSocketClient;

    static constexpr const char* tag = "[WebSocketClient] ";

    LogRecorder log;
    SessionEvents events;
    ScriptedPeer peer;
    std::unique_ptr<Client> client;
    std::string request;

    // Connects, answers the handshake with `afterResponse` in the same write, and waits for
    // the open event.
    void open(const std::string& afterResponse = "") {
        client =
            std::make_unique<Client>(peer.url(), std::vector<std::string>{}, events.handlers());
        ASSERT_TRUE(peer.accept());
        request = peer.readRequest();
        ASSERT_FALSE(request.empty());
        ASSERT_TRUE(peer.send(switchingProtocols(request) + afterResponse));
        ASSERT_TRUE(events.waitFor("open"));
    }

    std::string peerEndpoint() const { return "127.0.0.1:" + std::to_string(peer.port()); }

    // Destroys the client (joining its thread), so that every count is final.
    void finish() { client.reset(); }

    static std::vector<uint8_t> bytes(const std::string& text) {
        return std::vector<uint8_t>(text.begin(), text.end());
    }
};

}  // namespace tidewire_test
