#include "tidewire/EventLoop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <map>
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
            // Released from a handler on this thread: the release left the rest to it. (A
            // release elsewhere joins this thread first, so it reads false here.)
            if (self->releasedFromWorker) {
                self->context.destroyHandlers();
            }
        });
        running = true;
    }

    // The last holder let go: the loop stops for good and the handlers it still holds are
    // destroyed (they may hold the connections that pin the loop), now or, on the worker
    // itself, once run() has returned.
    void release() {
        const std::shared_ptr<Internals> keep = shared_from_this();  // through the shutdown
        std::unique_lock<std::mutex> lock(lifecycleMutex);
        running = false;
        context.stop();
        if (worker.joinable() && worker.get_id() == std::this_thread::get_id()) {
            releasedFromWorker = true;
            return;
        }
        if (worker.joinable()) {
            worker.join();
        }
        lock.unlock();
        context.destroyHandlers();
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
    // Destroys the handlers still queued without destroying the context, which connections
    // that pin it may still refer to.
    struct Context : asio::io_context {
        using asio::io_context::io_context;
        void destroyHandlers() { shutdown(); }
    };

    Context context{1};  // one thread runs it
    // Keeps run() going while no connection has work, until stop().
    asio::executor_work_guard<asio::io_context::executor_type> idleWork{context.get_executor()};
    std::mutex lifecycleMutex;  // serialises start and stop made on different threads
    std::thread worker;
    bool running = false;  // guarded by lifecycleMutex
    bool releasedFromWorker = false;
    std::mutex sharedMutex;
    std::map<std::string, std::weak_ptr<void>>
        shared;  // by key, under sharedMutex  // the worker's own: released by one of its handlers
};

EventLoop::EventLoop(const std::string& exceptionLinePrefix)
    : internals(std::make_shared<Internals>(exceptionLinePrefix)) {}

std::shared_ptr<EventLoop> EventLoop::create() {
    return EventLoopAccess::create("[EventLoop] " + std::string(errorTexts::workerException));
}

EventLoop::~EventLoop() {
    internals->release();
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

std::shared_ptr<void> EventLoopAccess::shared(EventLoop& loop, const std::string& key,
                                              const std::function<std::shared_ptr<void>()>& make) {
    EventLoop::Internals& in = *loop.internals;
    std::lock_guard<std::mutex> lock(in.sharedMutex);
    std::weak_ptr<void>& slot = in.shared[key];
    std::shared_ptr<void> object = slot.lock();
    if (!object) {
        object = make();  // may throw: the slot stays empty
        slot = object;
    }
    return object;
}

std::shared_ptr<asio::io_context> EventLoopAccess::pin(EventLoop& loop) {
    return std::shared_ptr<asio::io_context>(loop.internals, &loop.internals->context);
}

}  // namespace relaymatrix::extensions::tidewire
