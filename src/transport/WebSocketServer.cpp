#include "tidewire/WebSocketServer.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/DeflateNegotiation.h"
#include "transport/TlsSetup.h"
#include "transport/WebSocketServerInternals.h"

namespace relaymatrix::extensions::tidewire {

thread_local const WebSocketServer::Internals* WebSocketServer::Internals::runningCallbackOf =
    nullptr;

WebSocketServer::WebSocketServer(unsigned int port) : WebSocketServer(std::string(), port) {}

WebSocketServer::WebSocketServer(unsigned int port, const std::string& certificateFile,
                                 const std::string& privateKeyFile)
    : WebSocketServer(std::string(), port, certificateFile, privateKeyFile) {}

WebSocketServer::WebSocketServer(const std::string& bindAddress, unsigned int port)
    : internals(
          std::make_shared<Internals>(bindAddress, port, false, std::string(), std::string())) {}

WebSocketServer::WebSocketServer(const std::string& bindAddress, unsigned int port,
                                 const std::string& certificateFile,
                                 const std::string& privateKeyFile)
    : internals(
          std::make_shared<Internals>(bindAddress, port, true, certificateFile, privateKeyFile)) {}

WebSocketServer::~WebSocketServer() {
    stop();
    if (hostLoops.empty()) {
        // No loop runs any more: every session's socket goes while the loop that owns it still
        // exists. Sessions then die with the registry, the loop's discarded handlers or the
        // host's last pointer, touching nothing of the server.
        internals->detachSessions();
    }
    internals.reset();  // before the host's loops, which may go with it
}

void WebSocketServer::start() {
    if (internals->started) {
        return;
    }
    internals->started = true;
    internals->start(hostLoops);
}

void WebSocketServer::stop() {
    internals->stop();
}

void WebSocketServer::setEventLoops(size_t count) {
    internals->loopCount = std::max<size_t>(1, count);
}

void WebSocketServer::setEventLoops(std::vector<std::shared_ptr<EventLoop>> loops) {
    loops.erase(std::remove(loops.begin(), loops.end(), nullptr), loops.end());
    hostLoops = std::move(loops);
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
    internals->removeSession(sessionId);
}

void WebSocketServer::setConnectionOptions(const ConnectionOptions& options) {
    const std::string problem = compressionOptionsProblem(options.compression);
    if (!problem.empty()) {
        throw std::invalid_argument(problem);
    }
    internals->options = options;
    internals->options.eventLoop.reset();  // a client's setting: the server holds no loop by it
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

}  // namespace relaymatrix::extensions::tidewire
