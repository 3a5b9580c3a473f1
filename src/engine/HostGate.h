#pragma once

#include <atomic>
#include <mutex>

namespace relaymatrix::extensions::tidewire {

// Lets the host's object go away while its connection still has work on a loop it does not
// own (a client on a shared EventLoop). Handlers are entered through the gate on the loop
// thread; once shut, none is entered again, and shutting it from another thread waits for a
// handler in progress to return, so the handler's std::function is never freed under it.
// Shutting it from inside a handler (the handler destroys its own client) cannot wait for
// itself and need not: nothing else enters on that thread meanwhile.
class HostGate {
public:
    // Open while it is true; holds the gate for the outermost handler of a nesting.
    class Entry {
    public:
        Entry(HostGate* gate, bool open) : gate(gate), open(open) {}
        Entry(Entry&& other) noexcept : gate(other.gate), open(other.open) { other.gate = nullptr; }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        Entry& operator=(Entry&&) = delete;
        ~Entry() {
            if (gate != nullptr) {
                gate->leave();
            }
        }
        explicit operator bool() const { return open; }

    private:
        HostGate* gate;  // to leave when done; null when nothing was taken
        bool open;
    };

    // A gate that is never shut and costs nothing (the loop is the object's own).
    static Entry unguarded() { return Entry(nullptr, true); }

    // Loop thread only.
    Entry enter() {
        if (depth != 0) {  // nested in a handler that holds the gate already
            return Entry(nullptr, !shut.load(std::memory_order_relaxed));
        }
        mutex.lock();
        if (shut.load(std::memory_order_relaxed)) {
            mutex.unlock();
            return Entry(nullptr, false);
        }
        ++depth;
        return Entry(this, true);
    }

    // No handler is entered from now on; `onLoopThread` tells where the caller runs.
    void shutFor(bool onLoopThread) {
        if (onLoopThread) {
            shut.store(true, std::memory_order_relaxed);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        shut.store(true, std::memory_order_relaxed);
    }

private:
    void leave() {
        --depth;
        mutex.unlock();
    }

    std::mutex mutex;  // held by the loop thread for the outermost handler call
    std::atomic<bool> shut{false};
    int depth = 0;  // handler calls in progress, loop thread only
};

}  // namespace relaymatrix::extensions::tidewire
