#include "tidewire/WebSocketServer.h"

#include <algorithm>
#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/DeflateNegotiation.h"
#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/HandshakePolicy.h"
#include "core/Limits.h"
#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"
#include "transport/EventLoopAccess.h"
#include "transport/EventLoopThread.h"
#include "transport/TlsSetup.h"
#include "transport/WebSocketSessionImpl.h"

namespace relaymatrix::extensions::tidewire {

using asio::ip::tcp;

namespace {

// How long the listener rests after an accept failed for lack of resources (descriptors,
// memory), so a full descriptor table does not spin the worker thread.
constexpr std::chrono::milliseconds acceptRetryPause(100);

// The listen backlog.
constexpr int listenBacklog = 4096;

// Failures that concern only the one connection being accepted; accepting goes on at once.
// Anything else (descriptors or memory exhausted, an unexpected error) is retried after
// acceptRetryPause.
bool affectsOnlyThatConnection(const std::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == std::errc::protocol_error || ec == std::errc::operation_not_permitted ||
           ec == asio::error::interrupted;
}

void logError(const std::string& text, const std::string& more) noexcept {
    try {
        relaymatrix::Logger::error("[WebSocketServer] " + text + more);
    } catch (...) {
    }
}

}  // namespace

struct WebSocketServer::Internals {
    Internals(const std::string& bindAddress, unsigned int port, bool useTLS,
              const std::string& certificateFile, const std::string& privateKeyFile)
        : loop("[WebSocketServer] " + std::string(errorTexts::handlerException)),
          acceptor(loop.context()),
          useTLS(useTLS),
          sslContext(asio::ssl::context::tlsv12_server),
          acceptPause(loop.context()) {
        const asio::ip::address address = bindAddress.empty()
                                              ? asio::ip::address(asio::ip::address_v4::any())
                                              : asio::ip::make_address(bindAddress);
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(port & 0xFFFFu));
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        if (address.is_v6() && address.is_unspecified()) {
            acceptor.set_option(asio::ip::v6_only(false));  // "::" serves IPv4 clients too
        }
        acceptor.bind(endpoint);
        acceptor.listen(listenBacklog);
        boundPort = acceptor.local_endpoint().port();
        if (useTLS) {
            SSL_CTX_set_mode(sslContext.native_handle(), SSL_MODE_RELEASE_BUFFERS);  // idle: none
            loadCertificateAndKey(sslContext, certificateFile, privateKeyFile);
        }
    }

    EventLoopThread loop;  // the listener's, and the sessions' unless there are more
    // With setEventLoops(n > 1): the other n - 1 loops, made by start(). Session k runs on
    // loop k % n, counting `loop` as the first.
    std::vector<std::shared_ptr<EventLoop>> moreLoops;
    size_t loopCount = 1;  // set before start
    size_t nextLoop = 0;   // worker thread only
    tcp::acceptor acceptor;
    unsigned short boundPort = 0;  // kept from construction: the worker owns the acceptor
    std::mutex sessionsMutex;
    std::unordered_map<unsigned int, std::shared_ptr<WebSocketSession>> sessions;
    std::atomic<unsigned int> nextSessionId{0};
    bool started = false;  // host thread only
    std::function<void(WebSocketSession&)> onNewSessionHandler = [](WebSocketSession&) {};
    bool useTLS;
    asio::ssl::context sslContext;

    asio::steady_timer acceptPause;  // pending only while accepting rests after a failure
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};
    ConnectionOptions options;  // set before start, read by the worker
    HandshakePolicy policy;     // set before start, read by the worker
    size_t maxSessions = 0;     // 0: no limit

    // Where the next accepted session runs, round robin.
    asio::io_context& nextSessionContext() {
        const size_t index = nextLoop;
        nextLoop = (nextLoop + 1) % loopCount;
        return index == 0 ? loop.context() : EventLoopAccess::context(*moreLoops[index - 1]);
    }

    bool controlsHandshakes() const {
        return policy.hook || !policy.allowedOrigins.empty() || !policy.subprotocols.empty() ||
               maxSessions != 0;
    }
    // Sessions join the registry once admitted rather than at accept.
    bool admitsAfterRequest() const {
        return policy.hook || !policy.allowedOrigins.empty() || maxSessions != 0;
    }
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

WebSocketServer::WebSocketServer(unsigned int port) : WebSocketServer(std::string(), port) {}

WebSocketServer::WebSocketServer(unsigned int port, const std::string& certificateFile,
                                 const std::string& privateKeyFile)
    : WebSocketServer(std::string(), port, certificateFile, privateKeyFile) {}

WebSocketServer::WebSocketServer(const std::string& bindAddress, unsigned int port)
    : internals(
          std::make_unique<Internals>(bindAddress, port, false, std::string(), std::string())) {}

WebSocketServer::WebSocketServer(const std::string& bindAddress, unsigned int port,
                                 const std::string& certificateFile,
                                 const std::string& privateKeyFile)
    : internals(
          std::make_unique<Internals>(bindAddress, port, true, certificateFile, privateKeyFile)) {}

WebSocketServer::~WebSocketServer() {
    stop();
    // Every loop is stopped: no session runs while its I/O objects go.
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
    if (internals->started) {
        return;
    }
    internals->started = true;
    for (size_t i = 1; i < internals->loopCount; ++i) {
        internals->moreLoops.push_back(EventLoopAccess::create(
            "[WebSocketServer] " + std::string(errorTexts::handlerException)));
    }
    accept();
    internals->loop.start();
}

void WebSocketServer::stop() {
    internals->loop.stop();
    for (const std::shared_ptr<EventLoop>& loop : internals->moreLoops) {
        loop->stop();
    }
}

void WebSocketServer::setEventLoops(size_t count) {
    internals->loopCount = std::max<size_t>(1, count);
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
        if (logsAt(LogLevel::debug)) {
            relaymatrix::Logger::debug(
                "[WebSocketServer] Session disconnected and removed - session ID: " +
                std::to_string(sessionId));
        }
    }
}

void WebSocketServer::setConnectionOptions(const ConnectionOptions& options) {
    const std::string problem = compressionOptionsProblem(options.compression);
    if (!problem.empty()) {
        throw std::invalid_argument(problem);
    }
    internals->options = options;
}

void WebSocketServer::setHandshakeHook(HandshakeHook hook) {
    internals->policy.hook = std::move(hook);
}

void WebSocketServer::setAllowedOrigins(std::vector<std::string> origins) {
    internals->policy.allowedOrigins = std::move(origins);
}

void WebSocketServer::setSubprotocols(std::vector<std::string> protocols) {
    internals->policy.subprotocols = std::move(protocols);
}

void WebSocketServer::setMaxSessions(size_t sessions) {
    internals->maxSessions = sessions;
}

void WebSocketServer::setTLSOptions(const TLSOptions& options) {
    applyTLSOptions(internals->sslContext, options, TlsRole::server);
}

void WebSocketServer::setMaxMessageSize(uint64_t bytes) {
    internals->maxMessageSize.store(bytes, std::memory_order_relaxed);
}

unsigned short WebSocketServer::boundPort() const {
    return internals->boundPort;
}

void WebSocketServer::introduce(const std::shared_ptr<WebSocketSessionImpl>& session) {
    {
        std::lock_guard<std::mutex> lock(internals->sessionsMutex);
        internals->sessions[session->id()] = session;
    }
    announce(*session);
}

void WebSocketServer::announce(WebSocketSessionImpl& session) {
    // Outside the registry's lock: the callback may look sessions up or remove them.
    try {
        internals->onNewSessionHandler(session);
    } catch (const std::exception& e) {
        logError(errorTexts::newSessionHandlerException, e.what());
    } catch (...) {
        logError(errorTexts::newSessionHandlerException, "unknown");
    }
}

HandshakeDecision WebSocketServer::admit(WebSocketSessionImpl& session,
                                         const HandshakeRequest& request, std::string& problem) {
    HandshakeDecision decision = decideHandshake(internals->policy, request, problem);
    if (!decision.accepted) {
        return decision;
    }
    if (!internals->admitsAfterRequest()) {
        session.admitted(decision.subprotocol);
        return decision;
    }
    {
        // Checked and taken at once: sessions on other loops are admitted meanwhile.
        std::lock_guard<std::mutex> lock(internals->sessionsMutex);
        if (internals->maxSessions != 0 && internals->sessions.size() >= internals->maxSessions) {
            return HandshakeDecision::reject(503, "Too many sessions");
        }
        session.admitted(decision.subprotocol);
        internals->sessions[session.id()] = session.shared_from_this();
    }
    announce(session);
    return decision;
}

void WebSocketServer::accept() {
    internals->acceptor.async_accept(internals->nextSessionContext(), [this](
                                                                          const std::error_code& ec,
                                                                          tcp::socket socket) {
        if (ec) {
            logError(errorTexts::acceptError, ec.message());
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
                logError(errorTexts::acceptError, endpointError.message());
            } else {
                if (logsAt(LogLevel::info)) {
                    relaymatrix::Logger::info("[WebSocketServer] Accept: " + endpointText(peer));
                }
                // The write queue already coalesces frames; Nagle would only delay a small
                // frame behind an unacknowledged one (a Pong right after a message).
                std::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                const unsigned int sessionId = internals->nextSessionId.fetch_add(1);
                auto closeCallback = [this](unsigned int id) { removeSession(id); };
                const auto session = std::make_shared<WebSocketSessionImpl>(
                    std::move(socket), internals->useTLS ? &internals->sslContext : nullptr,
                    sessionId, closeCallback);
                session->setMaxMessageSize(
                    internals->maxMessageSize.load(std::memory_order_relaxed));
                session->configure(internals->options);
                internals->track(session);
                if (internals->controlsHandshakes()) {
                    session->setAdmission(
                        [this](WebSocketSessionImpl& candidate, const HandshakeRequest& request,
                               std::string& problem) { return admit(candidate, request, problem); },
                        !internals->admitsAfterRequest());
                }
                const auto begin = [this, session] {
                    if (!internals->admitsAfterRequest()) {
                        introduce(session);
                    }
                    session->start();
                };
                if (session->runsOn(internals->loop.context())) {
                    begin();
                } else {
                    asio::post(session->executor(), begin);  // its own loop runs its handlers
                }
            }
        } catch (const std::exception& e) {
            logError(errorTexts::acceptError, e.what());
        }
        accept();
    });
}

}  // namespace relaymatrix::extensions::tidewire
