#pragma once

#include <algorithm>
#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/HandshakePolicy.h"
#include "core/Limits.h"
#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"
#include "tidewire/EventLoop.h"
#include "tidewire/WebSocketServer.h"
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

// Everything of a server. On its own loops, which it stops and joins before anything is freed,
// handlers refer to it by plain pointer. On the host's loops (setEventLoops(loops)), which go
// on running after the server is gone, a pending accept holds it and a session that ends
// late finds it through a weak pointer.
struct WebSocketServer::Internals : std::enable_shared_from_this<WebSocketServer::Internals> {
    Internals(const std::string& bindAddress, unsigned int port, bool useTLS,
              const std::string& certificateFile, const std::string& privateKeyFile)
        : loop("[WebSocketServer] " + std::string(errorTexts::handlerException)),
          acceptor(loop.context()),
          acceptPause(loop.context()),
          useTLS(useTLS),
          sslContext(asio::ssl::context::tlsv12_server) {
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

    // ---- Lifecycle (host thread) ----------------------------------------------------------------

    void start(const std::vector<std::shared_ptr<EventLoop>>& hostLoops) {
        if (hostLoops.empty()) {
            contexts.push_back(&loop.context());
            for (size_t i = 1; i < loopCount; ++i) {
                ownLoops.push_back(EventLoopAccess::create(
                    "[WebSocketServer] " + std::string(errorTexts::handlerException)));
                contexts.push_back(&EventLoopAccess::context(*ownLoops.back()));
            }
            accept();
            loop.start();
            return;
        }
        for (const std::shared_ptr<EventLoop>& hostLoop : hostLoops) {
            contexts.push_back(&EventLoopAccess::context(*hostLoop));
            pins.push_back(EventLoopAccess::pin(*hostLoop));
        }
        // The listener moves to the first of the host's loops, before any handler runs there.
        const tcp::acceptor::protocol_type protocol = acceptor.local_endpoint().protocol();
        acceptor = tcp::acceptor(*contexts.front(), protocol, acceptor.release());
        acceptPause = asio::steady_timer(*contexts.front());
        asio::post(*contexts.front(), [this, keep = keepAlive()] { accept(); });
    }

    void stop() {
        if (!pins.empty()) {
            letGo();
            return;
        }
        const bool onALoop = std::any_of(contexts.begin(), contexts.end(), [](auto* context) {
            return context->get_executor().running_in_this_thread();
        });
        if (onALoop) {
            // From a handler: joining another loop could wait for one of its handlers that
            // stops the server too. The destructor joins them all.
            for (asio::io_context* context : contexts) {
                context->stop();
            }
            return;
        }
        loop.stop();
        for (const std::shared_ptr<EventLoop>& own : ownLoops) {
            own->stop();
        }
    }

    // The host's loops run on: after it returns no callback of the host runs (it waits for
    // one running on another thread), and the listener and every session close on their loops.
    void letGo() {
        {
            const bool inCallback = runningCallbackOf == this;
            std::unique_lock<std::shared_mutex> lock(hostCallbacks, std::defer_lock);
            if (!inCallback) {
                lock.lock();
            }
            if (hostGone) {
                return;
            }
            hostGone = true;
        }
        asio::post(*contexts.front(), [this, keep = keepAlive()] {
            std::error_code ignored;
            acceptor.close(ignored);
            acceptPause.cancel();
        });
        for (const std::shared_ptr<WebSocketSessionImpl>& session : trackedSessions()) {
            session->letGo();
        }
    }

    // Own loops only, once stopped: each session's I/O objects go while their loop exists.
    void detachSessions() {
        for (const std::shared_ptr<WebSocketSessionImpl>& session : trackedSessions()) {
            session->detach();
        }
    }

    std::shared_ptr<Internals> keepAlive() { return pins.empty() ? nullptr : shared_from_this(); }

    // ---- Accepting (the listener's loop) ------------------------------------------------------

    void accept() {
        const size_t index = nextLoop;
        nextLoop = (nextLoop + 1) % contexts.size();
        // Accepted on the listener's own loop, then moved: a pending accept then never holds a
        // socket of another loop, which may be gone before the listener's.
        acceptor.async_accept(
            [this, keep = keepAlive(), index](const std::error_code& ec, tcp::socket socket) {
                if (ec == asio::error::operation_aborted && !acceptor.is_open()) {
                    return;  // the host's loops run on without this server
                }
                if (ec) {
                    logError(errorTexts::acceptError, ec.message());
                    if (affectsOnlyThatConnection(ec)) {
                        accept();
                        return;
                    }
                    acceptPause.expires_after(acceptRetryPause);
                    acceptPause.async_wait([this, keep](const std::error_code& waited) {
                        if (waited != asio::error::operation_aborted) {
                            accept();
                        }
                    });
                    return;
                }
                try {
                    serve(std::move(socket), index);
                } catch (const std::exception& e) {
                    logError(errorTexts::acceptError, e.what());
                }
                accept();
            });
    }

    void serve(tcp::socket&& accepted, size_t loopIndex) {
        tcp::socket socket = std::move(accepted);
        if (&socket.get_executor().context() != contexts[loopIndex]) {
            const tcp::socket::protocol_type protocol = socket.local_endpoint().protocol();
            socket = tcp::socket(*contexts[loopIndex], protocol, socket.release());
        }
        std::error_code endpointError;
        const tcp::endpoint peer = socket.remote_endpoint(endpointError);
        if (endpointError) {
            // The peer left before we got to it: nothing to serve.
            logError(errorTexts::acceptError, endpointError.message());
            return;
        }
        if (logsAt(LogLevel::info)) {
            relaymatrix::Logger::info("[WebSocketServer] Accept: " + endpointText(peer));
        }
        // The write queue already coalesces frames; Nagle would only delay a small frame
        // behind an unacknowledged one (a Pong right after a message).
        std::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const unsigned int sessionId = nextSessionId.fetch_add(1);
        const auto session = std::make_shared<WebSocketSessionImpl>(
            std::move(socket), useTLS ? &sslContext : nullptr, sessionId, closeCallback());
        session->setMaxMessageSize(maxMessageSize.load(std::memory_order_relaxed));
        session->configure(options);
        if (!pins.empty()) {
            session->guardHostHandlers(pins[loopIndex]);
        }
        track(session);
        if (controlsHandshakes()) {
            session->setAdmission(admission(), !admitsAfterRequest());
        }
        const auto begin = [this, keep = keepAlive(), session] {
            if (!admitsAfterRequest()) {
                introduce(session);
            }
            session->start();
        };
        if (session->runsOn(loop.context())) {
            begin();
        } else {
            asio::post(session->executor(), begin);  // its own loop runs its handlers
        }
    }

    // What a session calls into the server with: by plain pointer on own loops, by weak
    // pointer on the host's (a session may end after the server).
    std::function<void(unsigned int)> closeCallback() {
        if (pins.empty()) {
            return [this](unsigned int id) { removeSession(id); };
        }
        return [weak = weak_from_this()](unsigned int id) {
            if (const std::shared_ptr<Internals> alive = weak.lock()) {
                alive->removeSession(id);
            }
        };
    }
    WebSocketSessionImpl::Admission admission() {
        if (pins.empty()) {
            return [this](WebSocketSessionImpl& candidate, const HandshakeRequest& request,
                          std::string& problem) { return admit(candidate, request, problem); };
        }
        return [weak = weak_from_this()](WebSocketSessionImpl& candidate,
                                         const HandshakeRequest& request, std::string& problem) {
            const std::shared_ptr<Internals> alive = weak.lock();
            return alive ? alive->admit(candidate, request, problem)
                         : HandshakeDecision::reject(503, "Server stopped");
        };
    }

    // ---- Registry and admission (any session's loop) ------------------------------------------

    void introduce(const std::shared_ptr<WebSocketSessionImpl>& session) {
        {
            std::lock_guard<std::mutex> lock(sessionsMutex);
            sessions[session->id()] = session;
        }
        announce(*session);
    }

    // The new-session callback, outside the registry's lock: it may look sessions up or
    // remove them.
    void announce(WebSocketSessionImpl& session) {
        std::shared_lock<std::shared_mutex> lock(hostCallbacks);
        if (hostGone) {
            return;
        }
        runningCallbackOf = this;
        try {
            onNewSessionHandler(session);
        } catch (const std::exception& e) {
            logError(errorTexts::newSessionHandlerException, e.what());
        } catch (...) {
            logError(errorTexts::newSessionHandlerException, "unknown");
        }
        runningCallbackOf = nullptr;
    }

    HandshakeDecision admit(WebSocketSessionImpl& session, const HandshakeRequest& request,
                            std::string& problem) {
        HandshakeDecision decision;
        {
            std::shared_lock<std::shared_mutex> lock(hostCallbacks);
            if (hostGone) {
                return HandshakeDecision::reject(503, "Server stopped");
            }
            runningCallbackOf = this;
            decision = decideHandshake(policy, request, problem);
            runningCallbackOf = nullptr;
        }
        if (!decision.accepted) {
            return decision;
        }
        if (!admitsAfterRequest()) {
            session.admitted(decision.subprotocol);
            return decision;
        }
        {
            // Checked and taken at once: sessions on other loops are admitted meanwhile.
            std::lock_guard<std::mutex> lock(sessionsMutex);
            if (maxSessions != 0 && sessions.size() >= maxSessions) {
                return HandshakeDecision::reject(503, "Too many sessions");
            }
            session.admitted(decision.subprotocol);
            sessions[session.id()] = session.shared_from_this();
        }
        announce(session);
        return decision;
    }

    void removeSession(unsigned int sessionId) {
        // The entry is released after the lock: a session's destructor must not run under it.
        decltype(sessions)::node_type removed;
        std::lock_guard<std::mutex> lock(sessionsMutex);
        removed = sessions.extract(sessionId);
        if (logsAt(LogLevel::debug)) {
            relaymatrix::Logger::debug(
                "[WebSocketServer] Session disconnected and removed - session ID: " +
                std::to_string(sessionId));
        }
    }

    bool controlsHandshakes() const {
        return policy.hook || !policy.allowedOrigins.empty() || !policy.subprotocols.empty() ||
               maxSessions != 0;
    }
    // Sessions join the registry once admitted rather than at accept.
    bool admitsAfterRequest() const {
        return policy.hook || !policy.allowedOrigins.empty() || maxSessions != 0;
    }

    void track(const std::shared_ptr<WebSocketSessionImpl>& session) {
        std::lock_guard<std::mutex> lock(trackedMutex);
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
    std::vector<std::shared_ptr<WebSocketSessionImpl>> trackedSessions() {
        std::vector<std::shared_ptr<WebSocketSessionImpl>> alive;
        std::lock_guard<std::mutex> lock(trackedMutex);
        for (const auto& weak : createdSessions) {
            if (std::shared_ptr<WebSocketSessionImpl> session = weak.lock()) {
                alive.push_back(std::move(session));
            }
        }
        return alive;
    }

    // Loops: the own one runs the listener and the sessions, unless there are more: n - 1 own
    // ones (setEventLoops(n)) beside it, or the host's (setEventLoops(loops)) instead, the
    // first of which then runs the listener. Session k runs on contexts[k % n].
    EventLoopThread loop;
    std::vector<std::shared_ptr<EventLoop>> ownLoops;
    std::vector<std::shared_ptr<asio::io_context>> pins;  // the host's loops, kept for sessions
    std::vector<asio::io_context*> contexts;              // set by start
    size_t loopCount = 1;                                 // set before start
    size_t nextLoop = 0;                                  // the listener's loop only

    tcp::acceptor acceptor;
    asio::steady_timer acceptPause;  // pending only while accepting rests after a failure
    unsigned short boundPort = 0;    // kept from construction: the listener's loop owns it
    bool started = false;            // host thread only
    bool useTLS;
    asio::ssl::context sslContext;

    std::mutex sessionsMutex;
    std::unordered_map<unsigned int, std::shared_ptr<WebSocketSession>> sessions;
    std::atomic<unsigned int> nextSessionId{0};
    std::function<void(WebSocketSession&)> onNewSessionHandler = [](WebSocketSession&) {};
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};
    ConnectionOptions options;  // set before start, read by the loops
    HandshakePolicy policy;     // set before start, read by the loops
    size_t maxSessions = 0;     // 0: no limit

    // The host's callbacks (new-session, hook) run under it shared; letGo() takes it
    // exclusively, so once that returns none runs any more.
    std::shared_mutex hostCallbacks;
    std::atomic<bool> hostGone{false};  // set under hostCallbacks, or in a callback
    static thread_local const Internals* runningCallbackOf;  // letGo() from a callback

    // Every session created and possibly still alive (in the registry, in pending handlers or
    // held by the host), so their I/O objects can go before their loop.
    std::mutex trackedMutex;
    std::vector<std::weak_ptr<WebSocketSessionImpl>> createdSessions;  // under trackedMutex
    size_t pruneCreatedSessionsAt = 64;
};

}  // namespace relaymatrix::extensions::tidewire
