#include "tidewire/EventLoop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core/ErrorTexts.h"
#include "transport/EventLoopAccess.h"
#include "transport/EventLoopThread.h"

namespace relaymatrix::extensions::tidewire {

// Shared by the public object and the running worker, so that the loop outlives a worker that
// drops the last reference to its EventLoop from one of its own handlers: the worker then ends
// by itself and frees the loop once run() has returned, never under a running handler.
struct EventLoop::Internals : std::enable_shared_from_this<EventLoop::Internals> {
    explicit Internals(std::string exceptionLinePrefix)
        : exceptionLinePrefix(std::move(exceptionLinePrefix)) {}
    ~Internals() {
        if (worker.joinable()) {
            if (worker.get_id() == std::this_thread::get_id()) {
                worker.detach();  // the worker itself lets go last, after run() returned
            } else {
                worker.join();
            }
        }
    }

    void start() {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (running) {
            return;
        }
        reapWorker();
        context.restart();
        worker = std::thread([self = shared_from_this()] {
            runLoggingExceptions(self->context, self->exceptionLinePrefix);
        });
        running = true;
    }

    void stop() {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        running = false;
        context.stop();
        if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) {
            worker.join();
        }
    }

    // A worker stopped from inside itself is joined by the next start, unless that start is
    // made on it too: it is about to return, so it is left to end alone.
    void reapWorker() {
        if (!worker.joinable()) {
            return;
        }
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }

    const std::string exceptionLinePrefix;
    asio::io_context context{1};  // one thread runs it: asio may skip its internal locking
    // Keeps run() going while no connection has work, until stop().
    asio::executor_work_guard<asio::io_context::executor_type> idleWork{context.get_executor()};
    std::mutex lifecycleMutex;  // serialises start and stop made on different threads
    std::thread worker;
    bool running = false;  // guarded by lifecycleMutex
};

EventLoop::EventLoop(const std::string& exceptionLinePrefix)
    : internals(std::make_shared<Internals>(exceptionLinePrefix)) {}

std::shared_ptr<EventLoop> EventLoop::create() {
    return EventLoopAccess::create("[EventLoop] " + std::string(errorTexts::workerException));
}

EventLoop::~EventLoop() {
    stop();
}

void EventLoop::start() {
    internals->start();
}

void EventLoop::stop() {
    internals->stop();
}

bool EventLoop::runningInThisThread() const {
    return internals->context.get_executor().running_in_this_thread();
}

std::shared_ptr<EventLoop> EventLoopAccess::create(const std::string& exceptionLinePrefix) {
    std::shared_ptr<EventLoop> loop(new EventLoop(exceptionLinePrefix));
    loop->start();
    return loop;
}

asio::io_context& EventLoopAccess::context(EventLoop& loop) {
    return loop.internals->context;
}

}  // namespace relaymatrix::extensions::tidewire
