#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "ServerHarness.h"
#include "SessionEvents.h"
#include "interop/ChildProcess.h"
#include "tidewire/WebSocketClient.h"

using namespace tidewire_test;
using relaymatrix::extensions::tidewire::WebSocketClient;

namespace {

// The Python `websockets` peer script (tests/interop/websocket_peer.py) as a child process
// whose standard output the test reads, every read with a deadline.
class PythonPeer : public interop::ChildProcess {
public:
    explicit PythonPeer(const std::vector<std::string>& arguments)
        : ChildProcess(commandLine(arguments)) {}

    std::string readLine() { return ChildProcess::readLine(std::chrono::seconds(60)); }
    int exitStatus() { return ChildProcess::exitStatus(std::chrono::seconds(60)); }

private:
    static std::vector<std::string> commandLine(const std::vector<std::string>& arguments) {
        const char* sourceDir = std::getenv("TIDEWIRE_TEST_SOURCE_DIR");
        std::vector<std::string> argv = {
            "/usr/bin/python3",
            std::string(sourceDir != nullptr ? sourceDir : "tests") + "/interop/websocket_peer.py"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 16));
    }
    return bytes;
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string event(const std::vector<uint8_t>& bytes, bool isText) {
    return (isText ? "text:" : "binary:") + std::string(bytes.begin(), bytes.end());
}

}  // namespace

// Python's client against our server: every size both as text and binary, echoed in frames
// of 1000 bytes, a fragmented message from Python, pings both ways and Python's close.
TEST(InteropPython, WebsocketsClientAgainstOurServer) {
    LogRecorder log;
    ServerHarness server(
        false, [](ServerHarness::Session& session, SessionEvents& events, unsigned int) {
            events.afterOpen = [&session] { session.send(bytesOf("welcome"), true, 1000); };
            events.afterMessage = [&session](const std::vector<uint8_t>& bytes, bool isText) {
                if (std::string(bytes.begin(), bytes.end()) == "ping me") {
                    session.ping(bytesOf("srv"));
                }
                session.send(bytes, isText, 1000);
            };
        });
    PythonPeer python({"client", std::to_string(server.port())});
    EXPECT_EQ(python.readLine(), "CLIENT OK") << python.unread();
    EXPECT_EQ(python.exitStatus(), 0) << python.unread();

    SessionEvents* events = server.session(0);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(events->waitFor("close"));
    ASSERT_TRUE(log.waitForLine(
        LogLevel::debug, "[WebSocketServer] Session disconnected and removed - session ID: 0"));
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketServer][WebSocketSession] Received pong"), 1u);
    EXPECT_EQ(events->events().front(), "open");
    EXPECT_EQ(events->count("text:fragmented"), 1u);
    EXPECT_EQ(events->events().size(), 1u + 2 * 7 + 2 + 1);
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

// Our client against Python's echo server: every size up to 1 MiB both as text and binary
// (some sent in fragments), a fragmented message from Python, pings both ways and our
// close.
TEST(InteropPython, OurClientAgainstWebsocketsServer) {
    LogRecorder log;
    PythonPeer python({"server"});
    const std::string portLine = python.readLine();
    ASSERT_EQ(portLine.rfind("PORT ", 0), 0u) << portLine;

    SessionEvents events;
    auto client = std::make_unique<WebSocketClient>("ws://127.0.0.1:" + portLine.substr(5) + "/",
                                                    std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(events.waitFor("open"));
    size_t expected = 1;
    const size_t sizes[] = {0, 1, 125, 126, 65535, 65536, 1024 * 1024};
    for (size_t size : sizes) {
        for (bool isText : {false, true}) {
            std::vector<uint8_t> message = pattern(size, static_cast<uint8_t>(size));
            if (isText) {
                for (uint8_t& byte : message) {
                    byte = static_cast<uint8_t>('a' + byte % 26);  // valid UTF-8 for Python
                }
            }
            client->send(message, isText, size == 65536 ? 1000 : 1 << 30);
            ASSERT_TRUE(events.waitForCount(++expected, std::chrono::seconds(60))) << size;
            EXPECT_TRUE(events.events().back() == event(message, isText)) << size << isText;
        }
    }
    client->send(bytesOf("fragments please"), true, 100);
    ASSERT_TRUE(events.waitFor("text:abcdef"));
    client->ping(bytesOf("cpp"));
    ASSERT_TRUE(log.waitForLine(LogLevel::debug, "[WebSocketClient] Received pong"));
    client->send(bytesOf("ping me"), true, 100);
    ASSERT_TRUE(events.waitFor("text:pinged"));
    EXPECT_EQ(log.count(LogLevel::debug, "[WebSocketClient] Received ping, sending pong..."), 1u);
    client->close({0x03, 0xE8});
    ASSERT_TRUE(events.waitFor("close"));
    client.reset();

    EXPECT_EQ(python.readLine(), "SERVER OK " + std::to_string(2 * 7 + 2)) << python.unread();
    EXPECT_EQ(python.exitStatus(), 0) << python.unread();
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}
