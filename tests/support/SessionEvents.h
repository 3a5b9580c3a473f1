#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tidewire/WebSocketClient.h"

namespace tidewire_test {

// Records what a connection's handlers report, in order, as short texts: "open", "close",
// "error:<text>", "text:<bytes>" and "binary:<bytes>". Waiting is event-driven with a
// deadline. `afterMessage` (optional) runs inside the message handler, on the loop thread.
class SessionEvents {
public:
    using Client = relaymatrix::extensions::tidewire::WebSocketClient;

    std::function<void(const std::vector<uint8_t>&, bool)> afterMessage;
    std::function<void()> afterOpen;

    Client::Handlers handlers() {
        Client::Handlers result;
        result.onOpen = [this] {
            add("open");
            if (afterOpen) {
                afterOpen();
            }
        };
        result.onClose = [this] { add("close"); };
        result.onMessage = [this](const std::vector<uint8_t>& bytes, bool isText) {
            add(std::string(isText ? "text:" : "binary:") +
                std::string(bytes.begin(), bytes.end()));
            if (afterMessage) {
                afterMessage(bytes, isText);
            }
        };
        result.onError = [this](const std::string& text) { add("error:" + text); };
        return result;
    }

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

    size_t count(const std::string& event) const {
        size_t n = 0;
        for (const std::string& e : events()) {
            n += e == event ? 1 : 0;
        }
        return n;
    }

    // Waits until at least `n` events have been recorded.
    bool waitForCount(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return recorded.size() >= n; });
    }

    // Waits until `event` has been recorded.
    bool waitFor(const std::string& event,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            for (const std::string& e : recorded) {
                if (e == event) {
                    return true;
                }
            }
            return false;
        });
    }

private:
    void add(std::string event) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(std::move(event));
        }
        changed.notify_all();
    }

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> recorded;
};

}  // namespace tidewire_test
