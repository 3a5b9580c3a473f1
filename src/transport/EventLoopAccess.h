#pragma once

#include <asio/io_context.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tidewire/EventLoop.h"

namespace relaymatrix::extensions::tidewire {

// The asio loop behind a public EventLoop, for the transports that run connections on it.
struct EventLoopAccess {
    // A started loop whose escaped exceptions are logged after `exceptionLinePrefix`.
    static std::shared_ptr<EventLoop> create(const std::string& exceptionLinePrefix);
    static asio::io_context& context(EventLoop& loop);
    // The loop's asio context, kept alive (not running) as long as the pointer: for what must
    // outlive the EventLoop itself, like a server session the host still holds.
    static std::shared_ptr<asio::io_context> pin(EventLoop& loop);
    // What the loop's connections may share (a TLS context with the same settings), made by
    // `make` when none with `key` is alive; it lives as long as one of them holds it.
    static std::shared_ptr<void> shared(EventLoop& loop, const std::string& key,
                                        const std::function<std::shared_ptr<void>()>& make);
};

}  // namespace relaymatrix::extensions::tidewire
