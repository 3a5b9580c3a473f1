#include "tidewire/WebSocketServer.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "ConnectionEngine.h"
#include "FrameHeader.h"
#include "HandshakeText.h"
#include "Limits.h"
#include "relaymatrix/Logger.h"
#include "tidewire/WebSocketSessionImpl.h"

namespace relaymatrix::extensions::tidewire {

using asio::ip::tcp;

// ================================ WebSocketSessionImpl ========================================

struct WebSocketSessionImpl::Internals : ConnectionEngine<WebSocketSessionImpl::Internals> {
    static constexpr bool maskOutgoing = false;
    static const char* logPrefix() { return "[WebSocketServer][WebSocketSession] "; }
    static const char* unexpectedFrameText() { return "Unexpected frame"; }

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
            rememberPeer(peer);
        }
        if (!useTLS) {
            handshake();
            return;
        }
        std::get<1>(*socket).async_handshake(asio::ssl::stream_base::server,
                                             [this, keep = keepAlive()](const std::error_code& ec) {
                                                 if (ec) {
                                                     errorHandler(ec, "SSL handshake failed");
                                                     return;
                                                 }
                                                 handshake();
                                             });
    }

    // ---- Opening handshake --------------------------------------------------------------------

    void handshake() { readHandshakeBlock(); }

    void onHandshakeBlock(const std::error_code& ec, const std::string& headerBlock) {
        if (ec) {
            errorHandler(ec, "Handshake error");
            return;
        }
        const ClientHandshakeRequest request = parseClientHandshakeRequest(headerBlock);
        for (const std::string& protocols : request.requestedProtocols) {
            logTrace("Requested protocols: " + protocols);
        }
        writeHandshake(buildServerHandshakeResponse(request.key));
    }

    void onHandshakeWritten(const std::error_code& ec) {
        if (ec) {
            errorHandler(ec, "Handshake response error");
            return;
        }
        logDebug("Handshake successful");
        open();
    }

    // ---- Close --------------------------------------------------------------------------------

    // Last step of every close: the server drops the session from its registry.
    void connectionClosed() noexcept {
        try {
            closeCallback(sessionId);
        } catch (const std::exception& e) {
            logError(std::string("Close callback exception: ") + e.what());
        } catch (...) {
            logError("Close callback exception: unknown");
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

void WebSocketSessionImpl::setMaxMessageSize(uint64_t bytes) {
    internals->setMaxMessageSize(bytes);
}

void WebSocketSessionImpl::detach() {
    std::unique_lock<std::shared_mutex> lock(internals->detachMutex);
    internals->socket.reset();
}

// ================================ WebSocketServer =============================================

namespace {

// How long the listener rests after an accept failed for lack of resources (descriptors,
// memory), so a full descriptor table does not spin the worker thread.
constexpr std::chrono::milliseconds acceptRetryPause(100);

// The listen backlog.
constexpr int listenBacklog = 4096;

std::string toText(const tcp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// Failures that concern only the one connection being accepted; accepting goes on at once.
// Anything else (descriptors or memory exhausted, an unexpected error) is retried after
// acceptRetryPause.
bool affectsOnlyThatConnection(const std::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == std::errc::protocol_error || ec == std::errc::operation_not_permitted ||
           ec == asio::error::interrupted;
}

void logError(const std::string& text) noexcept {
    try {
        relaymatrix::Logger::error(text);
    } catch (...) {
    }
}

}  // namespace

struct WebSocketServer::Internals {
    Internals(unsigned int port, bool useTLS, const std::string& certificateFile,
              const std::string& privateKeyFile)
        : acceptor(ioContext),
          useTLS(useTLS),
          sslContext(asio::ssl::context::tlsv12_server),
          acceptPause(ioContext) {
        const tcp::endpoint endpoint(asio::ip::address_v4::any(),
                                     static_cast<unsigned short>(port & 0xFFFFu));
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(listenBacklog);
        if (useTLS) {
            sslContext.use_certificate_chain_file(certificateFile);
            sslContext.use_private_key_file(privateKeyFile, asio::ssl::context::pem);
        }
    }

    asio::io_context ioContext;
    tcp::acceptor acceptor;
    std::mutex sessionsMutex;
    std::unordered_map<unsigned int, std::shared_ptr<WebSocketSession>> sessions;
    std::atomic<unsigned int> nextSessionId{0};
    std::unique_ptr<std::thread> workerThread;
    std::function<void(WebSocketSession&)> onNewSessionHandler = [](WebSocketSession&) {};
    bool useTLS;
    asio::ssl::context sslContext;

    asio::steady_timer acceptPause;  // pending only while accepting rests after a failure
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};
    // Every session created and possibly still alive (in the registry, in pending handlers or
    // held by the host), so their I/O objects can be destroyed before the event loop.
    // Worker thread only, and the destructor after the worker has been joined.
    std::vector<std::weak_ptr<WebSocketSessionImpl>> createdSessions;
    size_t pruneCreatedSessionsAt = 64;

    void track(const std::shared_ptr<WebSocketSessionImpl>& session) {
        if (createdSessions.size() >= pruneCreatedSessionsAt) {
            std::vector<std::weak_ptr<WebSocketSessionImpl>> alive;
            alive.reserve(createdSessions.size());
            for (auto& weak : createdSessions) {
                if (!weak.expired()) {
                    alive.push_back(std::move(weak));
                }
            }
            createdSessions.swap(alive);
            pruneCreatedSessionsAt = std::max<size_t>(64, 2 * createdSessions.size());
        }
        createdSessions.push_back(session);
    }
};

WebSocketServer::WebSocketServer(unsigned int port)
    : internals(std::make_unique<Internals>(port, false, std::string(), std::string())) {}

WebSocketServer::WebSocketServer(unsigned int port, const std::string& certificateFile,
                                 const std::string& privateKeyFile)
    : internals(std::make_unique<Internals>(port, true, certificateFile, privateKeyFile)) {}

WebSocketServer::~WebSocketServer() {
    stop();
    // The loop no longer runs; destroy every session's socket while the loop that owns it
    // still exists. Sessions then die with the registry, the loop's discarded handlers or the
    // host's last pointer, touching nothing of the server.
    for (const auto& weak : internals->createdSessions) {
        if (const std::shared_ptr<WebSocketSessionImpl> session = weak.lock()) {
            session->detach();
        }
    }
}

void WebSocketServer::start() {
    if (internals->workerThread) {
        return;
    }
    accept();
    internals->workerThread = std::make_unique<std::thread>([this] {
        for (;;) {
            try {
                internals->ioContext.run();
                return;
            } catch (const std::exception& e) {
                logError(std::string("[WebSocketServer] Handler exception: ") + e.what());
            } catch (...) {
                logError("[WebSocketServer] Handler exception: unknown");
            }
        }
    });
}

void WebSocketServer::stop() {
    internals->ioContext.stop();
    std::thread* worker = internals->workerThread.get();
    if (worker != nullptr && worker->joinable() && worker->get_id() != std::this_thread::get_id()) {
        worker->join();
    }
}

void WebSocketServer::onNewSession(std::function<void(WebSocketSession&)> handler) {
    internals->onNewSessionHandler = std::move(handler);
}

std::shared_ptr<WebSocketSession> WebSocketServer::getSession(unsigned int sessionId) {
    std::lock_guard<std::mutex> lock(internals->sessionsMutex);
    const auto it = internals->sessions.find(sessionId);
    return it == internals->sessions.end() ? nullptr : it->second;
}

void WebSocketServer::removeSession(unsigned int sessionId) {
    // The entry is released after the lock: a session's destructor must not run under it.
    decltype(internals->sessions)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(internals->sessionsMutex);
        removed = internals->sessions.extract(sessionId);
        relaymatrix::Logger::debug(
            "[WebSocketServer] Session disconnected and removed - session ID: " +
            std::to_string(sessionId));
    }
}

void WebSocketServer::setMaxMessageSize(uint64_t bytes) {
    internals->maxMessageSize.store(bytes, std::memory_order_relaxed);
}

unsigned short WebSocketServer::boundPort() const {
    std::error_code ec;
    return internals->acceptor.local_endpoint(ec).port();
}

void WebSocketServer::accept() {
    internals->acceptor.async_accept([this](const std::error_code& ec, tcp::socket socket) {
        if (ec) {
            logError("[WebSocketServer] Accept error: " + ec.message());
            if (affectsOnlyThatConnection(ec)) {
                accept();
                return;
            }
            internals->acceptPause.expires_after(acceptRetryPause);
            internals->acceptPause.async_wait([this](const std::error_code&) { accept(); });
            return;
        }
        try {
            std::error_code endpointError;
            const tcp::endpoint peer = socket.remote_endpoint(endpointError);
            if (endpointError) {
                // The peer left before we got to it: nothing to serve.
                logError("[WebSocketServer] Accept error: " + endpointError.message());
            } else {
                relaymatrix::Logger::info("[WebSocketServer] Accept: " + toText(peer));
                // The write queue already coalesces frames; Nagle would only delay a small
                // frame behind an unacknowledged one (a Pong right after a message).
                std::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                const unsigned int sessionId = internals->nextSessionId.fetch_add(1);
                auto closeCallback = [this](unsigned int id) { removeSession(id); };
                std::shared_ptr<WebSocketSessionImpl> session;
                if (internals->useTLS) {
                    session = std::make_shared<WebSocketSessionImpl>(
                        WebSocketSessionImpl::Stream(std::in_place_index<1>, std::move(socket),
                                                     internals->sslContext),
                        sessionId, closeCallback, true);
                } else {
                    session = std::make_shared<WebSocketSessionImpl>(
                        WebSocketSessionImpl::Stream(std::in_place_index<0>, std::move(socket)),
                        sessionId, closeCallback, false);
                }
                session->setMaxMessageSize(
                    internals->maxMessageSize.load(std::memory_order_relaxed));
                internals->track(session);
                {
                    std::lock_guard<std::mutex> lock(internals->sessionsMutex);
                    internals->sessions[sessionId] = session;
                    try {
                        internals->onNewSessionHandler(*session);
                    } catch (const std::exception& e) {
                        logError(std::string("[WebSocketServer] New-session handler exception: ") +
                                 e.what());
                    } catch (...) {
                        logError("[WebSocketServer] New-session handler exception: unknown");
                    }
                }
                session->start();
            }
        } catch (const std::exception& e) {
            logError(std::string("[WebSocketServer] Accept error: ") + e.what());
        }
        accept();
    });
}

}  // namespace relaymatrix::extensions::tidewire
