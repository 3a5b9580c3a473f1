#pragma once

// What the example servers share to stop the way a service should: on SIGINT (Ctrl-C) or
// SIGTERM (kill, a service manager), also when started in the background or from a script,
// with their clients told first.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "tidewire/WebSocketServer.h"

// Construct it first thing in main, before any transport starts its worker thread: the
// threads inherit the blocked signals, so only wait() receives them.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }
    // Returns once SIGINT or SIGTERM has arrived.
    void wait() {
        int received = 0;
        sigwait(&signals_, &received);
    }

private:
    sigset_t signals_;
};

// The identifiers of a server's open sessions. The server's handlers all run on its one
// worker thread; the mutex lets main (or any host thread) read the set as well.
class OpenSessions {
public:
    void enter(unsigned int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        ids_.insert(id);
    }
    void leave(unsigned int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        ids_.erase(id);
        changed_.notify_all();
    }
    std::set<unsigned int> members() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ids_;
    }
    // Sends every open session a Close with 1001 (going away), then waits until each has
    // answered or `limit` has passed. Call server.stop() after it.
    void closeAll(relaymatrix::extensions::tidewire::WebSocketServer& server,
                  std::chrono::milliseconds limit = std::chrono::seconds(2)) {
        for (unsigned int id : members()) {
            if (auto session = server.getSession(id)) {  // null once it has ended
                session->close({0x03, 0xe9});
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [this] { return ids_.empty(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<unsigned int> ids_;
};
