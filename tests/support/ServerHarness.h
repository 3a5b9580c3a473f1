#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SessionEvents.h"
#include "TestCertificates.h"
#include "tidewire/WebSocketServer.h"
#include "tidewire/WebSocketSession.h"

namespace tidewire_test {

// Installs handlers on `session` that record into `events` (same texts as a client's).
inline void recordEvents(relaymatrix::extensions::tidewire::WebSocketSession& session,
                         SessionEvents& events) {
    auto handlers = events.handlers();
    session.onOpenHandler = std::move(handlers.onOpen);
    session.onCloseHandler = std::move(handlers.onClose);
    session.onMessageHandler = std::move(handlers.onMessage);
    session.onErrorHandler = std::move(handlers.onError);
}

// A started WebSocketServer on a system-chosen port (plain, or TLS with the test
// certificate) whose sessions are recorded in accept order, so index i holds the events of
// the session with identifier i. `setup` runs in the new-session callback, on the worker
// thread under the registry lock, after the recording handlers are installed (it may
// replace them).
class ServerHarness {
public:
    using Server = relaymatrix::extensions::tidewire::WebSocketServer;
    using Session = relaymatrix::extensions::tidewire::WebSocketSession;
    using Setup = std::function<void(Session&, SessionEvents&, unsigned int index)>;

    explicit ServerHarness(bool tls = false, Setup setup = {}) : setup(std::move(setup)) {
        if (tls) {
            const TestCertificates& certificates = TestCertificates::get();
            server = std::make_unique<Server>(0, certificates.serverCertFile,
                                              certificates.serverKeyFile);
        } else {
            server = std::make_unique<Server>(0);
        }
        server->onNewSession([this](Session& session) {
            std::unique_lock<std::mutex> lock(mutex);
            recorded.push_back(std::make_unique<SessionEvents>());
            SessionEvents& events = *recorded.back();
            const auto index = static_cast<unsigned int>(recorded.size() - 1);
            lock.unlock();
            recordEvents(session, events);
            if (this->setup) {
                this->setup(session, events, index);
            }
            changed.notify_all();
        });
        server->start();
    }

    Server& operator*() { return *server; }
    Server* operator->() { return server.get(); }
    uint16_t port() const { return server->boundPort(); }

    // Destroys the server now (sessions included); the recorded events stay readable.
    void destroyServer() { server.reset(); }

    // The events of session `index`, once it has been accepted; null after the timeout.
    SessionEvents* session(unsigned int index,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return recorded.size() > index; })) {
            return nullptr;
        }
        return recorded[index].get();
    }

    size_t sessionCount() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded.size();
    }

private:
    Setup setup;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<SessionEvents>> recorded;  // outlives the server's sessions
    std::unique_ptr<Server> server;
};

}  // namespace tidewire_test
