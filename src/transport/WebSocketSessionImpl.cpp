#include "transport/WebSocketSessionImpl.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/FrameHeader.h"
#include "core/HandshakeText.h"
#include "core/Limits.h"
#include "engine/ConnectionEngine.h"

namespace relaymatrix::extensions::tidewire {

using asio::ip::tcp;

struct WebSocketSessionImpl::Internals : ConnectionEngine<WebSocketSessionImpl::Internals> {
    static constexpr bool maskOutgoing = false;
    static const char* logPrefix() { return "[WebSocketServer][WebSocketSession] "; }

    Internals(WebSocketSessionImpl& owner, Stream&& stream, unsigned int sessionId,
              std::function<void(unsigned int)> closeCallback, bool useTLS)
        : owner(owner),
          sessionId(sessionId),
          socket(std::in_place, std::move(stream)),
          loop(loopOf(*socket)),
          closeCallback(std::move(closeCallback)),
          useTLS(useTLS) {
        if (useTLS != (socket->index() == 1)) {
            throw std::invalid_argument("WebSocketSessionImpl: useTLS disagrees with the stream");
        }
    }

    static asio::io_context::executor_type loopOf(Stream& stream) {
        auto executor = std::visit([](auto& s) { return s.get_executor(); }, stream);
        const auto* target = executor.template target<asio::io_context::executor_type>();
        if (target == nullptr) {
            throw std::invalid_argument(
                "WebSocketSessionImpl: the stream must run on an io_context");
        }
        return *target;
    }

    // ---- Hooks of the connection engine -------------------------------------------------------

    asio::io_context::executor_type executor() const { return loop; }
    std::shared_ptr<WebSocketSessionImpl> keepAlive() { return owner.shared_from_this(); }
    WebSocketSession& session() { return owner; }

    template <class F>
    void withStream(F&& f) {
        if (useTLS) {
            f(std::get<1>(*socket));
        } else {
            f(std::get<0>(*socket));
        }
    }

    tcp::socket& tcpSocket() {
        return useTLS ? std::get<1>(*socket).next_layer() : std::get<0>(*socket);
    }

    // ---- Lifecycle ----------------------------------------------------------------------------

    void start() {
        std::error_code ec;
        const tcp::endpoint peer = tcpSocket().remote_endpoint(ec);
        if (!ec) {
            rememberPeer(endpointText(peer));
        }
        startOpeningDeadline(handshakeTimeout, errorTexts::handshakeTimeout);
        if (!useTLS) {
            readHandshakeBlock();
            return;
        }
        std::get<1>(*socket).async_handshake(
            asio::ssl::stream_base::server, [this, keep = keepAlive()](const std::error_code& ec) {
                if (ec) {
                    failConnection(ec, errorTexts::sslHandshakeFailed);
                    return;
                }
                readHandshakeBlock();
            });
    }

    // ---- Opening handshake --------------------------------------------------------------------

    void onHandshakeBlock(const std::error_code& ec, const std::string& headerBlock) {
        if (ec) {
            failConnection(ec, errorTexts::handshakeError);
            return;
        }
        const ClientHandshakeRequest request = parseClientHandshakeRequest(headerBlock);
        for (const std::string& protocols : request.requestedProtocols) {
            Log::trace("Requested protocols: ", protocols);
        }
        writeHandshake(buildServerHandshakeResponse(request.key));
    }

    void onHandshakeWritten(const std::error_code& ec) {
        if (ec) {
            failConnection(ec, errorTexts::handshakeResponseError);
            return;
        }
        Log::debug("Handshake successful");
        open();
    }

    // ---- Close --------------------------------------------------------------------------------

    // Last step of every close: the server drops the session from its registry.
    void connectionClosed() noexcept {
        try {
            closeCallback(sessionId);
        } catch (const std::exception& e) {
            Log::error(errorTexts::closeCallbackException, e.what());
        } catch (...) {
            Log::error(errorTexts::closeCallbackException, "unknown");
        }
    }

    WebSocketSessionImpl& owner;
    const unsigned int sessionId;
    // Engaged until the server is destroyed before the session: the stream's I/O objects
    // belong to the server's event loop and must go before it does.
    std::optional<Stream> socket;
    const asio::io_context::executor_type loop;
    std::function<void(unsigned int)> closeCallback;
    const bool useTLS;
    std::chrono::milliseconds handshakeTimeout{0};  // from accept (now) to the 101
    // Host calls hold it shared while they hand work to the loop; detach() holds it
    // exclusively, so no call reaches a loop that is about to be destroyed.
    std::shared_mutex detachMutex;
};

WebSocketSessionImpl::WebSocketSessionImpl(Stream&& socket, unsigned int sessionId,
                                           std::function<void(unsigned int)> closeCallback,
                                           bool useTLS)
    : internals(std::make_unique<Internals>(*this, std::move(socket), sessionId,
                                            std::move(closeCallback), useTLS)) {}

WebSocketSessionImpl::~WebSocketSessionImpl() = default;

void WebSocketSessionImpl::start() {
    const std::shared_ptr<WebSocketSessionImpl> self = shared_from_this();
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->start();
    }
}

void WebSocketSessionImpl::send(const std::vector<uint8_t>& data, bool isText,
                                size_t maxFrameSize) {
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->sendMessage(data, isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
    }
}

void WebSocketSessionImpl::ping(const std::vector<uint8_t>& payload) {
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->sendMessage(payload, opcodes::Ping, limits::controlFrameMaxSize);
    }
}

void WebSocketSessionImpl::close(const std::vector<uint8_t>& payload) {
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->sendClose(payload);
    }
}

size_t WebSocketSessionImpl::bufferedAmount() const {
    return internals->bufferedAmount();
}

void WebSocketSessionImpl::configure(const ConnectionOptions& options) {
    internals->configure(options);
    internals->handshakeTimeout = options.handshakeTimeout;
}

void WebSocketSessionImpl::setMaxMessageSize(uint64_t bytes) {
    internals->setMaxMessageSize(bytes);
}

void WebSocketSessionImpl::detach() {
    std::unique_lock<std::shared_mutex> lock(internals->detachMutex);
    internals->socket.reset();
    internals->releaseTimer();
}

}  // namespace relaymatrix::extensions::tidewire
