// `tidewire serve PORT`: an echo or broadcast WebSocket server until told to stop.
#include <arpa/inet.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Shutdown.h"
#include "tidewire/WebSocketServer.h"

namespace relaymatrix::extensions::tidewire::tool {

namespace {

bool isAddressLiteral(const std::string& text) {
    unsigned char address[16];
    return inet_pton(AF_INET, text.c_str(), address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), address) == 1;
}

std::unique_ptr<WebSocketServer> makeServer(const Arguments& arguments, unsigned short port) {
    const std::string certificate = arguments.last("cert");
    const std::string key = arguments.last("key");
    if (arguments.has("bind")) {
        const std::string address = arguments.last("bind");
        return certificate.empty()
                   ? std::make_unique<WebSocketServer>(address, port)
                   : std::make_unique<WebSocketServer>(address, port, certificate, key);
    }
    return certificate.empty() ? std::make_unique<WebSocketServer>(port)
                               : std::make_unique<WebSocketServer>(port, certificate, key);
}

void describe(const char* event, const SessionIdentity& who) {
    std::fprintf(stderr, "tidewire: session %u %s (%s port %u, subprotocol '%s')\n", who.id, event,
                 who.peerAddress.c_str(), who.peerPort, who.subprotocol.c_str());
}

}  // namespace

int runServe(const std::vector<std::string>& words) {
    const Arguments arguments(words, {"broadcast", "verbose", "stdin-stop"},
                              {"cert", "key", "origin", "protocol", "bind", "max-sessions"}, 1, 1);
    const unsigned short port = parsePort(arguments.positional()[0]);
    if (arguments.has("cert") != arguments.has("key")) {
        throw UsageError("--cert and --key go together");
    }
    if (arguments.has("bind") && !isAddressLiteral(arguments.last("bind"))) {
        throw UsageError("--bind needs an IPv4 or IPv6 address, not '" + arguments.last("bind") +
                         "'");
    }
    const size_t maxSessions =
        parseNumber(arguments.last("max-sessions", "0"), 1u << 30, "session limit");
    const bool broadcast = arguments.has("broadcast");
    const bool verbose = arguments.has("verbose");
    configureLogging(verbose);
    StopRequest stopRequest;  // before the server's worker thread exists

    std::unique_ptr<WebSocketServer> server;
    try {
        server = makeServer(arguments, port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tidewire: cannot listen on port %u: %s\n", port, e.what());
        return exitFailed;
    }
    if (arguments.has("origin")) {
        server->setAllowedOrigins(arguments.all("origin"));
    }
    if (arguments.has("protocol")) {
        server->setSubprotocols(arguments.all("protocol"));
    }
    server->setMaxSessions(maxSessions);

    // Handlers capture the session by reference: it owns them, so it outlives every call.
    auto audience = std::make_shared<OpenSessions>();  // those a broadcast reaches
    WebSocketServer* const serverPointer = server.get();
    server->onNewSession([=](WebSocketSession& session) {
        const unsigned int id = session.identity().id;
        session.onOpenHandler = [=, &session] {
            audience->enter(id);
            if (verbose) {
                describe("open", session.identity());
            }
        };
        auto leave = [=](const char* how) {
            audience->leave(id);
            if (verbose) {
                std::fprintf(stderr, "tidewire: session %u %s\n", id, how);
            }
        };
        session.onCloseHandler = [=] { leave("closed"); };
        session.onErrorHandler = [=](const std::string& what) { leave(what.c_str()); };
        session.onMessageHandler = [=, &session](const std::vector<uint8_t>& bytes, bool isText) {
            if (!broadcast) {
                session.send(bytes, isText, 0);
                return;
            }
            for (unsigned int member : audience->members()) {
                if (auto peer = serverPointer->getSession(member)) {
                    peer->send(bytes, isText, 0);
                }
            }
        };
    });
    server->start();
    std::printf("listening on %u\n", server->boundPort());
    std::fflush(stdout);

    stopRequest.wait(arguments.has("stdin-stop"));
    // Clients learn that the server goes away (1001) rather than losing the connection.
    audience->closeAll(*server);
    server->stop();
    return exitDone;
}

}  // namespace relaymatrix::extensions::tidewire::tool
