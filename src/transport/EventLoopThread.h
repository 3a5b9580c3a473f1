#pragma once

#include <asio/io_context.hpp>
#include <mutex>
#include <string>
#include <thread>

namespace relaymatrix::extensions::tidewire {

// Runs `context` until it stops or runs out of work. An exception that escapes a handler is
// logged as `exceptionLinePrefix` followed by its text, and the loop goes on.
void runLoggingExceptions(asio::io_context& context, const std::string& exceptionLinePrefix);

// One transport's event loop and the worker thread that runs it. An exception that escapes
// a handler is logged as `exceptionLinePrefix` followed by its text, and the loop goes on:
// nothing ever leaves the worker thread.
class EventLoopThread {
public:
    explicit EventLoopThread(std::string exceptionLinePrefix);
    // Stops and joins the worker; from the worker itself it is detached instead.
    ~EventLoopThread();

    EventLoopThread(const EventLoopThread&) = delete;
    EventLoopThread& operator=(const EventLoopThread&) = delete;

    asio::io_context& context() { return ioContext; }

    // Starts the worker. Starting a running loop does nothing; a stopped loop runs again,
    // with the handlers it still had queued.
    void start();
    // Stops the loop and joins the worker, unless called from the worker itself (then the
    // next start or the destructor joins it). Repeating it does nothing.
    void stop();

private:
    void run();

    asio::io_context ioContext;  // no work guard: the loop runs while handlers are pending
    const std::string exceptionLinePrefix;
    std::mutex lifecycleMutex;  // serialises start and stop called from different threads
    std::thread worker;
    bool running = false;  // guarded by lifecycleMutex
};

}  // namespace relaymatrix::extensions::tidewire
