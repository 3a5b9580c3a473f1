#pragma once

#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tidewire/ConnectionOptions.h"
#include "tidewire/HandshakeHook.h"
#include "tidewire/WebSocketSession.h"

namespace relaymatrix::extensions::tidewire {

class WebSocketServer;

// One accepted connection of a WebSocketServer: TLS handshake (TLS servers), the opening
// handshake answered with 101, then messages both ways until a close or a failure.
//
// Always owned by a std::shared_ptr (the server creates it with std::make_shared); every
// pending operation holds it, so it lives while it has work in flight or anyone holds it.
// Handlers run on the server's worker thread. `send`, `ping` and `close` may be called from
// any thread, also from inside handlers: they copy the bytes and return without waiting; the
// frames of one call go out together, in the order of the calls, one write at a time.
// Messages handed over before the session is open wait until it is; once it is ending they
// are dropped. After the server has been destroyed the session does nothing.
class WebSocketSessionImpl : public std::enable_shared_from_this<WebSocketSessionImpl>,
                             public WebSocketSession {
public:
    // `socket` is the accepted connection, on the server's event loop; with `tlsContext` (which
    // must outlive the session) the session runs TLS over it. `closeCallback(sessionId)` runs
    // when the session closes. No I/O.
    WebSocketSessionImpl(asio::ip::tcp::socket&& socket, asio::ssl::context* tlsContext,
                         unsigned int sessionId, std::function<void(unsigned int)> closeCallback);
    ~WebSocketSessionImpl() override;

    WebSocketSessionImpl(const WebSocketSessionImpl&) = delete;
    WebSocketSessionImpl& operator=(const WebSocketSessionImpl&) = delete;

    // Begins the session; returns at once. Called once, by the server, on its worker thread.
    void start();

    void send(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) override;
    void send(std::vector<uint8_t>&& data, bool isText, size_t maxFrameSize) override;
    void ping(const std::vector<uint8_t>& payload) override;
    void close(const std::vector<uint8_t>& payload) override;
    size_t bufferedAmount() const override;

    // The server's opt-in settings; before start(), on the worker thread.
    void configure(const ConnectionOptions& options);

    // Decides each request once read (the server's handshake control); `problem` explains a
    // refusal for the log. Without it every request is answered with a bare 101. A session
    // given one with `registered` false is in the server's registry only once admitted.
    using Admission = std::function<HandshakeDecision(
        WebSocketSessionImpl&, const HandshakeRequest&, std::string& problem)>;
    void setAdmission(Admission admission, bool registered);

    SessionIdentity identity() const override;
    unsigned int id() const;
    // The loop the session's socket belongs to, whose thread runs its handlers.
    asio::io_context::executor_type executor() const;
    bool runsOn(asio::io_context& context) const;

    // Bound on one incoming frame's payload and on one reassembled message; any thread.
    void setMaxMessageSize(uint64_t bytes);

private:
    friend class WebSocketServer;

    // Destroys the connection's I/O objects while the server's event loop (stopped, its
    // worker joined) still exists; later calls on this session do nothing.
    void detach();
    // On a loop of the host's, which runs on after the server: handlers go through a gate
    // that letGo() shuts, and `loop` (the socket's) is kept as long as the session. Before
    // start().
    void guardHostHandlers(std::shared_ptr<asio::io_context> loop);
    // No handler runs after it returns (it waits for one running on another thread); the
    // connection closes on its loop, without a Close.
    void letGo();
    // The admission answered yes: the session names `subprotocol` and is (now) registered.
    void admitted(const std::string& subprotocol);

    struct Internals;
    std::unique_ptr<Internals> internals;
};

}  // namespace relaymatrix::extensions::tidewire
