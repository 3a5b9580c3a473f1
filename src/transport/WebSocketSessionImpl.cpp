#include "transport/WebSocketSessionImpl.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/FrameHeader.h"
#include "core/HandshakePolicy.h"
#include "core/HandshakeText.h"
#include "core/Limits.h"
#include "engine/ConnectionEngine.h"
#include "transport/TlsStream.h"

namespace relaymatrix::extensions::tidewire {

using asio::ip::tcp;

struct WebSocketSessionImpl::Internals : ConnectionEngine<WebSocketSessionImpl::Internals> {
    static constexpr bool maskOutgoing = false;
    static const char* logPrefix() { return "[WebSocketServer][WebSocketSession] "; }

    Internals(WebSocketSessionImpl& owner, tcp::socket&& accepted, asio::ssl::context* tlsContext,
              unsigned int sessionId, std::function<void(unsigned int)> closeCallback)
        : owner(owner),
          sessionId(sessionId),
          socket(std::in_place, std::move(accepted)),
          loop(loopOf(*socket)),
          closeCallback(std::move(closeCallback)) {
        identity.id = sessionId;
        if (tlsContext != nullptr) {
            tls.emplace(*socket, *tlsContext);
        }
    }

    static asio::io_context::executor_type loopOf(tcp::socket& socket) {
        auto executor = socket.get_executor();
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
    // The host's handlers belong to the session itself, which every handler keeps alive; on a
    // loop of the host's they must still stop once the server is gone.
    HostGate::Entry enterHost() {
        return onHostLoop ? onHostLoop->gate.enter() : HostGate::unguarded();
    }

    template <class F>
    void withStream(F&& f) {
        if (tls) {
            f(*tls);
        } else {
            f(*socket);
        }
    }

    tcp::socket& tcpSocket() { return *socket; }
    template <class F>
    void updateIdentity(F&& f) {
        std::lock_guard<std::mutex> lock(identityMutex);
        f(identity);
    }

    // ---- Lifecycle ----------------------------------------------------------------------------

    void start() {
        std::error_code ec;
        const tcp::endpoint peer = tcpSocket().remote_endpoint(ec);
        if (!ec) {
            rememberPeer(endpointText(peer));
            std::lock_guard<std::mutex> lock(identityMutex);
            identity.peerAddress = addressText(peer.address());
            identity.peerPort = peer.port();
        }
        startOpeningDeadline(handshakeTimeout, errorTexts::handshakeTimeout);
        if (!tls) {
            readHandshakeBlock();
            return;
        }
        tls->async_handshake(asio::ssl::stream_base::server,
                             [this, keep = keepAlive()](const std::error_code& ec) {
                                 if (ec) {
                                     failConnection(ec, errorTexts::sslHandshakeFailed);
                                     return;
                                 }
                                 rememberCertificateSubject();
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
        HandshakeRequest details = readHandshakeRequest(headerBlock);
        {
            std::lock_guard<std::mutex> lock(identityMutex);
            details.peerAddress = identity.peerAddress;
            details.peerPort = identity.peerPort;
            details.peerCertificateSubject = identity.peerCertificateSubject;
            identity.target = details.target;
            identity.headers = details.headers;
        }
        if (!admission) {
            HttpHeaders answer;
            if (!agreeCompression(details, answer)) {
                writeHandshake(buildServerHandshakeResponse(request.key));
                return;
            }
            writeHandshake(buildServerHandshakeResponse(request.key, std::string(), answer));
            return;
        }
        std::string problem;
        const HandshakeDecision decision = admission(owner, details, problem);
        if (!problem.empty()) {
            Log::error(problem);
        }
        if (!decision.accepted) {
            Log::info("Handshake refused: ", statusText(decision.status));
            refused = true;
            writeHandshake(buildRefusalResponse(decision));
            return;
        }
        HttpHeaders answer = decision.headers;  // a hook cannot name Sec-WebSocket-* fields
        agreeCompression(details, answer);
        writeHandshake(buildServerHandshakeResponse(request.key, decision.subprotocol, answer));
    }

    // Adds the Sec-WebSocket-Extensions answer when compression is agreed.
    bool agreeCompression(const HandshakeRequest& request, HttpHeaders& answer) {
        const std::string extensions =
            answerCompression(request.headers.all("Sec-WebSocket-Extensions"));
        if (extensions.empty()) {
            return false;
        }
        answer.add("Sec-WebSocket-Extensions", extensions);
        std::lock_guard<std::mutex> lock(identityMutex);
        identity.extensions = extensions;
        return true;
    }

    void onHandshakeWritten(const std::error_code& ec) {
        if (refused) {
            close();  // the client has its answer; nothing of it reached the host
            return;
        }
        if (ec) {
            failConnection(ec, errorTexts::handshakeResponseError);
            return;
        }
        Log::debug("Handshake successful");
        open();
    }

    // With mutual TLS, the verified client certificate's subject joins the identity.
    void rememberCertificateSubject() {
        SSL* ssl = tls->native_handle();
        X509* certificate = SSL_get1_peer_certificate(ssl);
        if (certificate == nullptr) {
            return;
        }
        if (SSL_get_verify_result(ssl) == X509_V_OK) {
            BIO* text = BIO_new(BIO_s_mem());
            if (text != nullptr && X509_NAME_print_ex(text, X509_get_subject_name(certificate), 0,
                                                      XN_FLAG_RFC2253) >= 0) {
                char* data = nullptr;
                const long size = BIO_get_mem_data(text, &data);
                std::lock_guard<std::mutex> lock(identityMutex);
                identity.peerCertificateSubject.assign(data, static_cast<size_t>(size));
            }
            BIO_free(text);
        }
        X509_free(certificate);
    }

    // ---- Close --------------------------------------------------------------------------------

    // Last step of every close: the server drops the session from its registry.
    void connectionClosed() noexcept {
        if (!registered) {
            return;  // refused or never admitted: the registry never held it
        }
        try {
            closeCallback(sessionId);
        } catch (const std::exception& e) {
            Log::error(errorTexts::closeCallbackException, e.what());
        } catch (...) {
            Log::error(errorTexts::closeCallbackException, "unknown");
        }
    }

    // Its timer goes before the loop that a pin may be keeping.
    ~Internals() { releaseTimer(); }

    WebSocketSessionImpl& owner;
    const unsigned int sessionId;
    // On a host's loop only (most sessions are not: a pointer): the loop, kept so that it
    // outlives the I/O objects, and the gate the host's handlers go through.
    struct HostLoop {
        std::shared_ptr<asio::io_context> pin;
        HostGate gate;
    };
    std::unique_ptr<HostLoop> onHostLoop;
    // Engaged until the server is destroyed before the session: the socket belongs to the
    // server's event loop and must go before it does.
    std::optional<tcp::socket> socket;
    const asio::io_context::executor_type loop;
    std::optional<TlsStream> tls;  // engaged for a TLS server; refers to the socket
    std::function<void(unsigned int)> closeCallback;
    std::chrono::milliseconds handshakeTimeout{0};  // from accept (now) to the 101
    WebSocketSessionImpl::Admission admission;      // null: every request gets a bare 101
    bool registered = true;            // in the server's registry (or was): removed when it closes
    bool refused = false;              // the handshake was answered with a refusal
    mutable std::mutex identityMutex;  // the host reads the identity from any thread
    SessionIdentity identity;
    // Host calls hold it shared while they hand work to the loop; detach() holds it
    // exclusively, so no call reaches a loop that is about to be destroyed.
    std::shared_mutex detachMutex;
};

WebSocketSessionImpl::WebSocketSessionImpl(asio::ip::tcp::socket&& socket,
                                           asio::ssl::context* tlsContext, unsigned int sessionId,
                                           std::function<void(unsigned int)> closeCallback)
    : internals(std::make_unique<Internals>(*this, std::move(socket), tlsContext, sessionId,
                                            std::move(closeCallback))) {}

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

void WebSocketSessionImpl::send(std::vector<uint8_t>&& data, bool isText, size_t maxFrameSize) {
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->sendMessage(std::move(data), isText ? opcodes::Text : opcodes::Binary,
                               maxFrameSize);
    }
}

void WebSocketSessionImpl::ping(const std::vector<uint8_t>& payload) {
    std::shared_lock<std::shared_mutex> lock(internals->detachMutex);
    if (internals->socket) {
        internals->sendPing(payload);
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

void WebSocketSessionImpl::setAdmission(Admission admission, bool registered) {
    internals->admission = std::move(admission);
    internals->registered = registered;
}

void WebSocketSessionImpl::admitted(const std::string& subprotocol) {
    internals->registered = true;
    std::lock_guard<std::mutex> lock(internals->identityMutex);
    internals->identity.subprotocol = subprotocol;
}

SessionIdentity WebSocketSessionImpl::identity() const {
    std::lock_guard<std::mutex> lock(internals->identityMutex);
    return internals->identity;
}

unsigned int WebSocketSessionImpl::id() const {
    return internals->sessionId;
}

asio::io_context::executor_type WebSocketSessionImpl::executor() const {
    return internals->loop;
}

bool WebSocketSessionImpl::runsOn(asio::io_context& context) const {
    return &internals->loop.context() == &context;
}

void WebSocketSessionImpl::setMaxMessageSize(uint64_t bytes) {
    internals->setMaxMessageSize(bytes);
}

void WebSocketSessionImpl::guardHostHandlers(std::shared_ptr<asio::io_context> loop) {
    internals->onHostLoop = std::make_unique<Internals::HostLoop>();
    internals->onHostLoop->pin = std::move(loop);
}

void WebSocketSessionImpl::letGo() {
    internals->onHostLoop->gate.shutFor(internals->loop.running_in_this_thread());
    internals->refuseHostSends();  // its loop may never run again
    asio::post(internals->loop, [self = shared_from_this()] {
        std::shared_lock<std::shared_mutex> lock(self->internals->detachMutex);
        if (self->internals->socket && !self->internals->isClosed()) {
            self->internals->close();
        }
    });
}

void WebSocketSessionImpl::detach() {
    std::unique_lock<std::shared_mutex> lock(internals->detachMutex);
    internals->tls.reset();
    internals->socket.reset();
    internals->releaseTimer();
}

}  // namespace relaymatrix::extensions::tidewire
