#pragma once

// The connection engine over an in-memory stream: what the peer sends is scripted, every byte
// the engine writes is kept, and the loop runs until nothing is pending. Engine cases and fuzz
// targets run without sockets, fast and deterministic.

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ConnectionEngine.h"

namespace tidewire_memory {

using namespace relaymatrix::extensions::tidewire;
using Bytes = std::vector<uint8_t>;

// The peer: its bytes, `readChunk` at a time (0: as much as asked), then end of stream; it
// takes at most `writeChunk` bytes per write (0: all), and writes fail after `failWriteAfter`.
struct Script {
    Bytes input;
    size_t readChunk = 0;
    size_t failWriteAfter = SIZE_MAX;
    size_t writeChunk = 0;
    bool headerFirst = false;  // a header block precedes the frames; the host gets it as text
    // Compression enabled (messages from 4 bytes) and this extension agreed; "-": none agreed.
    std::string extensions = "";
    size_t pauseAt = SIZE_MAX;  // the peer goes quiet for a while once this many bytes are read
    size_t* writes = nullptr;   // counts the engine's writes
    size_t* mostExpected = nullptr;          // the largest receive mark the engine asked for
    std::chrono::milliseconds keepalive{0};  // the engine's keepalive interval
    std::chrono::milliseconds closeTimeout{0};
    size_t maxBuffered = 0;  // the host's sends past it are refused
    bool strict = false;     // the engine's strict protocol mode
};

// Completes every operation later on the loop, as a socket does; once closed, with an error.
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
                afterPause([this, h = std::move(handler), buffers]() mutable {
                    complete(h, buffers,
                             [this](const Buffers& b, std::error_code& ec) { return read(b, ec); });
                });
            },
            token, buffers);
    }
    // The scripted bytes are all there at once: a read waits only for the pause.
    size_t read_some(const asio::mutable_buffer& b, std::error_code& ec) {
        ec = closed                                      ? asio::error::operation_aborted
             : delivered == script.pauseAt && !pauseOver ? asio::error::would_block
                                                         : std::error_code();
        return ec ? 0 : read(b, ec);
    }
    bool readDrained() const { return false; }
    void expectBytes(size_t owed) {
        if (script.mostExpected)
            *script.mostExpected = std::max(*script.mostExpected, owed);
    }
    template <class Handler>
    void async_wait(asio::socket_base::wait_type, Handler&& handler) {
        afterPause([this, h = std::move(handler)]() mutable {
            asio::post(executor, [h = std::move(h)]() mutable { h(std::error_code()); });
        });
    }
    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        if (script.writes)
            ++*script.writes;
        return complete(token, buffers, [this](const Buffers& b, std::error_code& ec) {
            const size_t n =
                std::min({asio::buffer_size(b), script.writeChunk ? script.writeChunk : SIZE_MAX,
                          script.failWriteAfter - std::min(script.failWriteAfter, output.size())});
            if (n == 0)
                ec = asio::error::broken_pipe;
            output.resize(output.size() + n);
            return asio::buffer_copy(asio::buffer(output.data() + output.size() - n, n), b);
        });
    }

    Bytes output;
    bool closed = false;
    std::function<void()> resumed;  // the pause is over

private:
    template <class Buffers>
    size_t read(const Buffers& b, std::error_code& ec) {
        if (delivered == script.input.size())
            ec = asio::error::eof;
        const size_t end = delivered < script.pauseAt ? script.pauseAt : SIZE_MAX;
        const size_t n = std::min({script.readChunk ? script.readChunk : SIZE_MAX,
                                   script.input.size() - delivered, end - delivered});
        const size_t copied =
            asio::buffer_copy(b, asio::buffer(script.input.data() + delivered, n));
        delivered += copied;
        return copied;
    }
    // Runs `next` at once, or after the pause once the peer has gone quiet there.
    template <class Next>
    void afterPause(Next&& next) {
        if (delivered != script.pauseAt || pauseOver)
            return next();
        pause.expires_after(std::chrono::milliseconds(20));  // storage idles after 1 ms
        pause.async_wait([this, next = std::move(next)](auto) mutable {
            pauseOver = true;
            resumed();
            next();
        });
    }
    template <class Token, class Buffers, class Move>
    auto complete(Token& token, const Buffers& buffers, Move move) {
        return asio::async_initiate<Token, void(std::error_code, size_t)>(
            [this, move](auto handler, const Buffers& buffers) {
                asio::post(executor, [this, move, handler = std::move(handler), buffers]() mutable {
                    std::error_code ec =
                        closed ? asio::error::operation_aborted : std::error_code();
                    const size_t n = closed ? 0 : move(buffers, ec);
                    handler(ec, n);
                });
            },
            token, buffers);
    }

    executor_type executor;
    const Script& script;
    size_t delivered = 0;
    asio::steady_timer pause{executor};
    bool pauseOver = false;
};

// One side of a connection on the memory stream, owned only by its pending handlers (as a
// server session is), so a handler that forgets to hold it is a use-after-free. It is its own
// host session: the host's calls go straight to the engine.
template <bool Client>
class MemoryConnection : public ConnectionEngine<MemoryConnection<Client>>,
                         public WebSocketSession,
                         public std::enable_shared_from_this<MemoryConnection<Client>> {
public:
    MemoryConnection(asio::io_context& loop, const Script& script, Bytes& written)
        : stream(loop.get_executor(), script), loop(loop), socket(loop), written(written) {
        // After a pause the host learns, as a text message, what storage is still kept.
        this->setIdleRelease(std::chrono::milliseconds(1));
        stream.resumed = [this] {
            const std::string text = "kept " + std::to_string(this->retainedStorageBytes());
            this->onMessageHandler(Bytes(text.begin(), text.end()), true);
        };
    }
    ~MemoryConnection() { written = std::move(stream.output); }

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
    WebSocketSession& session() { return *this; }
    static HostGate::Entry enterHost() { return HostGate::unguarded(); }
    void connectionClosed() { stream.closed = true; }
    template <class F>
    void updateIdentity(F&& f) {
        f(known);
    }
    void onHandshakeBlock(const std::error_code& ec, const std::string& block) {
        this->invokeHandler(
            [&] { this->onMessageHandler(Bytes(block.begin(), block.end()), true); });
        ec ? this->failConnection(ec, "Handshake error") : this->open();
    }

    void send(const Bytes& d, bool isText, size_t maxFrameSize) override {
        this->sendMessage(d, isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
    }
    void send(Bytes&& d, bool isText, size_t maxFrameSize) override {
        this->sendMessage(std::move(d), isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
    }
    void ping(const Bytes& payload) override { this->sendPing(payload); }
    void close(const Bytes& payload) override { this->sendClose(payload); }
    size_t bufferedAmount() const override { return this->Writer::bufferedAmount(); }
    using ConnectionEngine<MemoryConnection>::close;
    MemoryStream stream;

private:
    asio::io_context& loop;
    asio::ip::tcp::socket socket;
    Bytes& written;
    SessionIdentity known;
};

// Runs one connection over `script` from the moment it opens until nothing is pending, and
// returns every byte it wrote. `prepare(host)` installs handlers and may call the host's
// send/close before the open.
template <bool Client>
Bytes runConnection(const Script& script, uint64_t maxMessageSize,
                    const std::function<void(WebSocketSession&)>& prepare) {
    asio::io_context loop;
    Bytes written;
    auto connection = std::make_shared<MemoryConnection<Client>>(loop, script, written);
    connection->setMaxMessageSize(maxMessageSize);
    ConnectionOptions options;
    options.keepaliveInterval = script.keepalive;
    options.closeTimeout = script.closeTimeout;
    options.maxBufferedAmount = script.maxBuffered;
    options.strict = script.strict;
    options.compression.enabled = !script.extensions.empty();
    options.compression.minimumMessageBytes = 4;
    connection->configure(options);
    if (!script.extensions.empty()) {
        if (script.extensions != "-" && Client)
            connection->acceptCompression({script.extensions});
        else if (script.extensions != "-")
            connection->answerCompression({script.extensions});
    }
    prepare(*connection);
    asio::post(loop, [connection, &script] {
        script.headerFirst ? connection->readHandshakeBlock() : connection->open();
    });
    std::weak_ptr<MemoryConnection<Client>> weak = connection;
    connection.reset();  // from here on, pending handlers alone hold it
    loop.run();
    if (!weak.expired())
        throw std::logic_error("the connection outlives its last handler");
    return written;
}

}  // namespace tidewire_memory
