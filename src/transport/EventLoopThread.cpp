#include "transport/EventLoopThread.h"

#include <exception>
#include <utility>

#include "relaymatrix/Logger.h"

namespace relaymatrix::extensions::tidewire {

EventLoopThread::EventLoopThread(std::string exceptionLinePrefix)
    : exceptionLinePrefix(std::move(exceptionLinePrefix)) {}

EventLoopThread::~EventLoopThread() {
    stop();
    if (worker.joinable()) {
        worker.detach();  // destroyed from its own worker, which cannot join itself
    }
}

void EventLoopThread::start() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running) {
        return;
    }
    if (worker.joinable()) {
        worker.join();  // left by a stop() made from the worker itself
    }
    ioContext.restart();
    worker = std::thread([this] { run(); });
    running = true;
}

void EventLoopThread::stop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    running = false;
    ioContext.stop();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) {
        worker.join();
    }
}

void EventLoopThread::run() {
    runLoggingExceptions(ioContext, exceptionLinePrefix);
}

void runLoggingExceptions(asio::io_context& context, const std::string& exceptionLinePrefix) {
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& e) {
            try {
                relaymatrix::Logger::error(exceptionLinePrefix + e.what());
            } catch (...) {
            }
        } catch (...) {
            try {
                relaymatrix::Logger::error(exceptionLinePrefix + "unknown");
            } catch (...) {
            }
        }
    }
}

}  // namespace relaymatrix::extensions::tidewire
