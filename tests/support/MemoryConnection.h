#pragma once

// The connection engine over an in-memory stream: what the peer sends is scripted, every
// byte the engine writes is kept, and the loop runs until nothing is pending. Engine cases
// and fuzz targets run without sockets, fast and deterministic.

#include <algorithm>
#include <asio.hpp>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/ConnectionEngine.h"

namespace tidewire_memory {

using namespace relaymatrix::extensions::tidewire;
using Bytes = std::vector<uint8_t>;

// What the peer does: its bytes, delivered `readChunk` at a time (0: as much as asked), then
// end of stream; writes fail after `failWriteAfter` bytes, or never complete with `stallWrites`.
struct Script {
    Bytes input;
    size_t readChunk = 0;
    size_t failWriteAfter = std::numeric_limits<size_t>::max();
    bool stallWrites = false;
};

class MemoryStream {
public:
    using executor_type = asio::io_context::executor_type;
    MemoryStream(executor_type executor, const Script& script)
        : executor(executor), script(script) {}
    executor_type get_executor() const { return executor; }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code, size_t)>(
            [this](auto handler, const Buffers& buffers) {
                asio::post(executor, [this, handler = std::move(handler), buffers]() mutable {
                    std::error_code ec;
                    size_t n = 0;
                    if (closed) {
                        ec = asio::error::operation_aborted;
                    } else if (delivered == script.input.size()) {
                        ec = asio::error::eof;
                    } else {
                        const size_t chunk = script.readChunk ? script.readChunk : SIZE_MAX;
                        n = asio::buffer_copy(
                            buffers,
                            asio::buffer(script.input.data() + delivered,
                                         std::min(chunk, script.input.size() - delivered)));
                        delivered += n;
                    }
                    handler(ec, n);
                });
            },
            token, buffers);
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code, size_t)>(
            [this](auto handler, const Buffers& buffers) {
                if (script.stallWrites) {
                    stalled.push_back([h = std::move(handler)]() mutable {
                        h(asio::error::operation_aborted, 0);
                    });
                    return;
                }
                asio::post(executor, [this, handler = std::move(handler), buffers]() mutable {
                    const size_t room =
                        script.failWriteAfter - std::min(script.failWriteAfter, output.size());
                    if (closed || room == 0) {
                        handler(closed ? asio::error::operation_aborted : asio::error::broken_pipe,
                                0);
                        return;
                    }
                    const size_t n = std::min(asio::buffer_size(buffers), room);
                    const size_t at = output.size();
                    output.resize(at + n);
                    asio::buffer_copy(asio::buffer(output.data() + at, n), buffers);
                    handler(std::error_code(), n);
                });
            },
            token, buffers);
    }

    Bytes output;
    bool closed = false;
    std::vector<std::function<void()>> stalled;  // write handlers that never ran

private:
    executor_type executor;
    const Script& script;
    size_t delivered = 0;
};

// What one run left: every byte written and how often close() ran.
struct Outcome {
    Bytes output;
    size_t closeCalls = 0;
};

// One side of a connection on the memory stream, owned only by its pending handlers (as a
// server session is), so a handler that forgets to hold it is a use-after-free.
template <bool Client>
class MemoryConnection : public ConnectionEngine<MemoryConnection<Client>>,
                         public std::enable_shared_from_this<MemoryConnection<Client>> {
public:
    MemoryConnection(asio::io_context& loop, const Script& script, WebSocketSession& host,
                     Outcome& outcome)
        : stream(loop.get_executor(), script),
          loop(loop),
          socket(loop),
          host(host),
          outcome(outcome) {}
    ~MemoryConnection() {
        outcome.output = std::move(stream.output);
        outcome.closeCalls = closeCalls;
    }

    static constexpr bool maskOutgoing = Client;
    static const char* logPrefix() {
        return Client ? "[WebSocketClient] " : "[WebSocketServer][WebSocketSession] ";
    }
    asio::io_context::executor_type executor() { return loop.get_executor(); }
    std::shared_ptr<MemoryConnection> keepAlive() { return this->shared_from_this(); }
    template <class F>
    void withStream(F&& f) {
        f(stream);
    }
    asio::ip::tcp::socket& tcpSocket() { return socket; }  // never opened: the peer is "unknown"
    WebSocketSession& session() { return host; }
    void connectionClosed() {
        ++closeCalls;
        stream.closed = true;
    }

    MemoryStream stream;
    size_t closeCalls = 0;

private:
    asio::io_context& loop;
    asio::ip::tcp::socket socket;
    WebSocketSession& host;
    Outcome& outcome;
};

// The host's view: its calls go straight to the engine under test.
class HostSession : public WebSocketSession {
public:
    std::function<void(const Bytes&, uint8_t, size_t)> sendTo;
    std::function<void(const Bytes&)> closeTo;
    void send(const Bytes& d, bool isText, size_t maxFrameSize) override {
        sendTo(d, isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
    }
    void ping(const Bytes& payload) override { sendTo(payload, opcodes::Ping, 0); }
    void close(const Bytes& payload) override { closeTo(payload); }
};

// Runs one connection over `script` from the moment it opens until nothing is pending.
// `prepare(host)` installs handlers and may call the host's send/close before the open.
template <bool Client>
Outcome runConnection(const Script& script, uint64_t maxMessageSize,
                      const std::function<void(HostSession&)>& prepare) {
    asio::io_context loop;
    HostSession host;
    Outcome outcome;
    auto connection = std::make_shared<MemoryConnection<Client>>(loop, script, host, outcome);
    std::weak_ptr<MemoryConnection<Client>> weak = connection;
    host.sendTo = [weak](const Bytes& d, uint8_t opcode, size_t maxFrameSize) {
        if (auto c = weak.lock())
            c->sendMessage(d, opcode, maxFrameSize);
    };
    host.closeTo = [weak](const Bytes& d) {
        if (auto c = weak.lock())
            c->sendClose(d);
    };
    connection->setMaxMessageSize(maxMessageSize);
    prepare(host);
    asio::post(loop, [connection] { connection->open(); });
    connection.reset();  // from here on, pending handlers alone hold it
    loop.run();
    if (auto alive = weak.lock()) {
        // Only stalled writes hold it now: fail them as a closed socket would.
        auto stalled = std::move(alive->stream.stalled);
        alive.reset();
        for (auto& fail : stalled)
            fail();
        stalled.clear();
        loop.restart();
        loop.run();
    }
    if (!weak.expired()) {
        throw std::logic_error("the connection outlives its last handler");
    }
    return outcome;
}

}  // namespace tidewire_memory
