#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tidewire/SessionIdentity.h"

namespace relaymatrix::extensions::tidewire {

// A handler slot that one thread may assign while another invokes it.
//
// Assign any callable (`slot = [](...) {...};`); assigning an empty std::function or nullptr
// makes the slot a no-op again, as is a slot never assigned. Invoking takes a snapshot of the
// current callable under a short lock and calls it outside the lock, so a running handler may
// reassign any slot, itself included; the snapshot keeps the old callable alive until its call
// returns. A call that started before an assignment may still run the old callable.
template <class Signature>
class SessionHandler;

template <class R, class... Args>
class SessionHandler<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;

    SessionHandler() = default;
    SessionHandler(const SessionHandler& other) : function(other.snapshot()) {}
    SessionHandler& operator=(const SessionHandler& other) {
        if (this != &other) {
            store(other.snapshot());
        }
        return *this;
    }

    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, SessionHandler> &&
                                                std::is_constructible_v<Function, F&&>>>
    SessionHandler& operator=(F&& callable) {
        Function wrapped(std::forward<F>(callable));
        std::shared_ptr<const Function> next;
        if (wrapped) {
            next = std::make_shared<const Function>(std::move(wrapped));
        }
        store(std::move(next));
        return *this;
    }

    R operator()(Args... args) const {
        const std::shared_ptr<const Function> current = snapshot();
        if (!current) {
            return R();
        }
        return (*current)(std::forward<Args>(args)...);
    }

    // True when a callable is installed; lets a caller skip work nobody would receive.
    bool isSet() const { return snapshot() != nullptr; }

private:
    std::shared_ptr<const Function> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return function;
    }
    void store(std::shared_ptr<const Function> next) {
        // The old callable is released outside the lock: its destructor may do anything.
        {
            std::lock_guard<std::mutex> lock(mutex);
            function.swap(next);
        }
    }

    mutable std::mutex mutex;                  // guards `function` only, never held in a call
    std::shared_ptr<const Function> function;  // null: no-op
};

// The interface through which the host drives one WebSocket connection, client or server
// session alike.
//
// Handlers run on the connection's event-loop thread, one at a time, in the order of the
// connection's events: onOpenHandler once, then onMessageHandler per message (onPongHandler
// per Pong, onDrainHandler per drain in between), then either onCloseHandler (orderly close)
// or onErrorHandler (failure; possibly more than once).
// They must not throw. The host may assign a handler from any thread at any time, also from
// inside a handler; an event that is already being delivered may still reach the previous
// handler. `send`, `ping` and `close` may be called from any thread, handlers included; they
// copy what they need and return without waiting for the network.
class WebSocketSession {
public:
    virtual ~WebSocketSession() = default;

    SessionHandler<void()> onOpenHandler;
    SessionHandler<void()> onCloseHandler;
    // The message bytes (valid only during the call) and true for a text message.
    SessionHandler<void(const std::vector<uint8_t>&, bool)> onMessageHandler;
    // Opt-in, instead of onMessageHandler while set: the message is handed over to keep.
    // Moving it away (to keep it, or to send it back with send(std::move(message), ...),
    // which copies nothing) is up to the handler; what it leaves, the connection reuses.
    SessionHandler<void(std::vector<uint8_t>&&, bool)> onOwnedMessageHandler;
    // A short description of what failed.
    SessionHandler<void(const std::string&)> onErrorHandler;
    // The payload of each Pong the peer sends (valid only during the call).
    SessionHandler<void(const std::vector<uint8_t>&)> onPongHandler;
    // bufferedAmount() has fallen to zero after passing the drainLowWaterMark of the
    // connection's options: a paused producer may resume. Never runs without that mark.
    SessionHandler<void()> onDrainHandler;

    // Sends one message as text (opcode 0x1) or binary (0x2) frames of at most
    // `maxFrameSize` payload bytes each; frames of one message are never interleaved with
    // another message's.
    virtual void send(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) = 0;
    // The same with a message handed over: a large one is written from `data` itself (a
    // client masks it in place), and its storage is reused for messages received later.
    virtual void send(std::vector<uint8_t>&& data, bool isText, size_t maxFrameSize) {
        send(static_cast<const std::vector<uint8_t>&>(data), isText, maxFrameSize);
    }
    // Sends one Ping frame carrying `payload`.
    virtual void ping(const std::vector<uint8_t>& payload) = 0;
    // Starts the closing handshake with one Close frame carrying `payload` (the caller
    // supplies any status code bytes).
    virtual void close(const std::vector<uint8_t>& payload) = 0;

    // Bytes handed over by send, ping and close (and the connection's own answers) that are
    // not yet written to the socket. Any thread: exact on the loop thread, a recent value
    // elsewhere.
    virtual size_t bufferedAmount() const = 0;

    // What the opening handshake told about the peer (see SessionIdentity): complete from
    // onOpenHandler on. Any thread; a copy.
    virtual SessionIdentity identity() const { return {}; }
};

}  // namespace relaymatrix::extensions::tidewire
