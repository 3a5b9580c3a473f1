// Walks through the library the way a host uses it: announce the extension, then run
// the transports on loopback. Run it through scripts/demo.sh to see the debug log.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tidewire/TidewireExtension.h"
#include "tidewire/UDPServer.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

namespace {

using relaymatrix::extensions::tidewire::WebSocketClient;
using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

// Counts named events from the worker threads so the demo can wait for them.
class Events {
public:
    void note(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[name];
        changed_.notify_all();
    }

    bool waitFor(const std::string& name, int count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return counts_[name] >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> counts_;
};

// Prints what arrives and lets the demo wait for a number of datagrams.
class PrintingDelegate : public UDPServerDelegate {
public:
    void onMessageReceived(const char* data, size_t size) override {
        std::printf("demo: delegate received %zu bytes: %.*s\n", size, static_cast<int>(size),
                    data);
        std::lock_guard<std::mutex> lock(mutex_);
        ++received_;
        changed_.notify_all();
    }

    bool waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return received_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int received_ = 0;
};

bool runUdpDemo() {
    std::printf("demo: UDP -- a receive-only server and a sending-mode server on loopback\n");
    PrintingDelegate delegate;
    UDPServer receiver(0);  // port 0: the system picks a free port
    receiver.setDelegate(&delegate);
    receiver.start();

    UDPServer sender("127.0.0.1", receiver.boundPort(), 0);
    sender.start();
    const std::vector<std::string> datagrams = {"hello", "from the", "sending-mode server"};
    for (const auto& text : datagrams) {
        sender.send(text.data(), text.size());
    }
    const bool delivered = delegate.waitFor(static_cast<int>(datagrams.size()));

    std::printf("demo: the receive-only server refuses to send (result %d)\n",
                receiver.send("no", 2));
    sender.stop();
    receiver.stop();
    return delivered;
}

std::string describe(const std::vector<uint8_t>& bytes, bool isText) {
    if (isText) {
        return "text \"" + std::string(bytes.begin(), bytes.end()) + "\"";
    }
    std::string hex = "binary";
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, " %02x", byte);
        hex += digits;
    }
    return hex;
}

// A TLS server that echoes every message, and a client that trusts its certificate (the
// demo script points the system's trust store at it through SSL_CERT_FILE).
bool runWebSocketDemo(const std::string& certificateFile, const std::string& keyFile) {
    std::printf("demo: WebSocket -- a TLS server and a client on loopback\n");
    Events events;
    WebSocketServer server(0, certificateFile, keyFile);
    server.onNewSession([&events](WebSocketSession& session) {
        // Runs on the server's worker before the session starts: install its handlers.
        session.onMessageHandler = [&session](const std::vector<uint8_t>& bytes, bool isText) {
            std::printf("demo: server got %s, echoing it\n", describe(bytes, isText).c_str());
            session.send(bytes, isText, 16 * 1024);
        };
        session.onCloseHandler = [&events] { events.note("server closed"); };
    });
    server.start();

    WebSocketClient::Handlers handlers;
    handlers.onOpen = [&events] { events.note("open"); };
    handlers.onMessage = [&events](const std::vector<uint8_t>& bytes, bool isText) {
        std::printf("demo: client got %s\n", describe(bytes, isText).c_str());
        events.note("echo");
    };
    handlers.onClose = [&events] { events.note("client closed"); };
    handlers.onError = [](const std::string& what) {
        std::printf("demo: client error: %s\n", what.c_str());
    };
    const std::string url = "wss://localhost:" + std::to_string(server.boundPort()) + "/demo";
    WebSocketClient client(url, {"chat"}, handlers);
    if (!events.waitFor("open")) {
        return false;
    }
    const std::string text = "hello over TLS";
    client.send(std::vector<uint8_t>(text.begin(), text.end()), true, 4);  // 4 frames
    client.send({0x00, 0x01, 0x7f, 0xff}, false, 1024);
    client.ping({'p', 'i', 'n', 'g'});
    const bool echoed = events.waitFor("echo", 2);
    client.close({0x03, 0xe8});  // status 1000, normal closure
    const bool closed = events.waitFor("client closed") && events.waitFor("server closed");
    server.stop();
    return echoed && closed;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep our lines in step with the log
    relaymatrix::extensions::tidewire::TidewireExtension().initialize();
    const bool udpOk = runUdpDemo();
    if (!udpOk) {
        std::printf("demo: FAILED: datagrams did not arrive\n");
    }
    bool webSocketOk = true;
    if (argc == 3) {
        webSocketOk = runWebSocketDemo(argv[1], argv[2]);
        if (!webSocketOk) {
            std::printf("demo: FAILED: the WebSocket exchange did not complete\n");
        }
    } else {
        std::printf("demo: pass a certificate and a key file to run the WebSocket part\n");
    }
    const bool ok = udpOk && webSocketOk;
    std::printf("demo: %s\n", ok ? "done" : "FAILED");
    return ok ? 0 : 1;
}
