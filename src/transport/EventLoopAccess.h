#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "tidewire/EventLoop.h"

namespace relaymatrix::extensions::tidewire {

// The asio loop behind a public EventLoop, for the transports that run connections on it.
struct EventLoopAccess {
    // A started loop whose escaped exceptions are logged after `exceptionLinePrefix`.
    static std::shared_ptr<EventLoop> create(const std::string& exceptionLinePrefix);
    static asio::io_context& context(EventLoop& loop);
};

}  // namespace relaymatrix::extensions::tidewire
