// A client that stays connected: when the connection fails or closes, it waits and tries
// again, doubling the wait after each failed attempt (with random jitter, so that many
// clients do not come back in lockstep after a server restart).
//
//   reconnecting_client URL   e.g. ws://localhost:8080/ (try it against echo_server)
//
// A WebSocketClient never reconnects by itself: one object is one connection. So the loop
// below makes a new client per attempt. Stop it with Ctrl-C.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tidewire/ConnectionOptions.h"
#include "tidewire/WebSocketClient.h"

using namespace std::chrono_literals;
using relaymatrix::extensions::tidewire::ConnectionOptions;
using relaymatrix::extensions::tidewire::WebSocketClient;

// Set from the client's worker thread, awaited on the main thread.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
    bool ended = false;

    void set(bool Outcome::*flag) {
        std::lock_guard<std::mutex> lock(mutex);
        this->*flag = true;
        changed.notify_all();
    }
};

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a line at a time, also into a pipe

    // Give up on an attempt that hangs, and notice a server that silently went away.
    ConnectionOptions options;
    options.connectTimeout = 5s;
    options.handshakeTimeout = 5s;
    options.keepaliveInterval = 10s;

    const std::chrono::milliseconds firstDelay = 500ms;
    const std::chrono::milliseconds maxDelay = 30s;
    std::chrono::milliseconds delay = firstDelay;
    std::mt19937 random(std::random_device{}());

    for (int attempt = 1;; ++attempt) {
        Outcome outcome;
        WebSocketClient::Handlers handlers;
        handlers.onOpen = [&outcome] { outcome.set(&Outcome::opened); };
        handlers.onMessage = [](const std::vector<uint8_t>& bytes, bool) {
            std::printf("received: %.*s\n", static_cast<int>(bytes.size()),
                        reinterpret_cast<const char*>(bytes.data()));
        };
        handlers.onClose = [&outcome] { outcome.set(&Outcome::ended); };
        handlers.onError = [&outcome](const std::string& what) {
            std::printf("error: %s\n", what.c_str());
            outcome.set(&Outcome::ended);
        };

        std::printf("attempt %d: connecting to %s\n", attempt, url.c_str());
        {
            // Constructing the client starts the connection; messages sent before it opens
            // go out right after the handshake.
            WebSocketClient client(url, {}, handlers, options);
            const std::string hello = "hello from attempt " + std::to_string(attempt);
            client.send(std::vector<uint8_t>(hello.begin(), hello.end()), true, 0);

            std::unique_lock<std::mutex> lock(outcome.mutex);
            outcome.changed.wait(lock, [&outcome] { return outcome.ended; });
            // The client is destroyed at the end of this block, on this thread: never
            // destroy or stop it from inside one of its handlers.
        }

        // A connection that opened resets the backoff; each failed attempt doubles it.
        if (outcome.opened) {
            delay = firstDelay;
        }
        std::uniform_int_distribution<long> jitter(0, static_cast<long>(delay.count() / 2));
        const auto wait = delay + std::chrono::milliseconds(jitter(random));
        std::printf("reconnecting in %lld ms\n", static_cast<long long>(wait.count()));
        std::this_thread::sleep_for(wait);
        delay = std::min(delay * 2, maxDelay);
    }
}
