#pragma once

#include <memory>
#include <string>

namespace relaymatrix::extensions::tidewire {

// One event loop and the worker thread that runs it, for connections that share a thread
// instead of each owning one: clients given it through ConnectionOptions::eventLoop, and a
// server given it through WebSocketServer::setEventLoops. Opt-in: without it every client and
// server runs its own loop as always.
//
// Threads: every handler of every connection on the loop runs on its one worker thread, one
// at a time, so a slow handler delays all of them. The loop keeps running while idle, until
// `stop()` or the destructor.
//
// Lifetime: hold it by std::shared_ptr (`create()`). Every client and server using it holds
// it too, so it lives as long as the longest of them. The last holder may let go of it on any
// thread, the loop's own included (from a handler): the worker then finishes the handler it
// is in and ends by itself.
class EventLoop {
public:
    // Starts the worker thread.
    static std::shared_ptr<EventLoop> create();
    // Stops the loop (as stop()).
    ~EventLoop();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Starts the worker again after stop(), with the work it still had queued. Starting a
    // running loop does nothing.
    void start();
    // Stops the loop: the handler running finishes, then no handler of any connection on it
    // runs until start(). Connections are not closed: their sockets stay open until their
    // clients or server are destroyed, which is safe on a stopped loop and never waits for it.
    // On a host thread it joins the worker; on the worker itself (from a handler) it returns
    // at once. Repeating it does nothing.
    void stop();
    // True on the loop's worker thread (inside a handler of one of its connections).
    bool runningInThisThread() const;

private:
    explicit EventLoop(const std::string& exceptionLinePrefix);
    friend struct EventLoopAccess;
    struct Internals;
    std::shared_ptr<Internals> internals;  // shared with the worker while it runs
};

}  // namespace relaymatrix::extensions::tidewire
