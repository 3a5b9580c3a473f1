// The smallest useful WebSocket server: every message goes back to the client that sent it.
//
//   echo_server [PORT]        (8080 by default; 0 lets the system pick a free port)
//
// Try it from a shell with the command-line tool; Ctrl-C (or SIGTERM) stops the server,
// which closes its clients' connections with 1001 first:
//   echo hello | tidewire connect ws://localhost:8080/
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "Shutdown.h"
#include "tidewire/WebSocketServer.h"

using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

int main(int argc, char** argv) {
    StopSignals stopSignals;  // before any worker thread exists
    const unsigned int port = argc > 1 ? std::atoi(argv[1]) : 8080;
    OpenSessions open;  // declared before the server, so it outlives every handler using it

    // Binds and listens at once; throws std::system_error if the port is taken.
    // For TLS, pass a certificate chain file and a key file: WebSocketServer(port, cert, key).
    WebSocketServer server(port);

    // Runs on the server's worker thread for each new client, before its handshake: the
    // place to install the session's handlers. The session owns them, so capturing it by
    // reference is safe.
    server.onNewSession([&open](WebSocketSession& session) {
        const unsigned int id = session.identity().id;
        session.onOpenHandler = [&open, id] { open.enter(id); };
        session.onCloseHandler = [&open, id] { open.leave(id); };
        // The message is handed over to keep; moving it back into send copies nothing, and
        // its storage is reused for the next message. 0: one frame per message.
        session.onOwnedMessageHandler = [&session](std::vector<uint8_t>&& bytes, bool isText) {
            session.send(std::move(bytes), isText, 0);
        };
        session.onErrorHandler = [&open, id](const std::string& what) {
            std::fprintf(stderr, "session failed: %s\n", what.c_str());
            open.leave(id);
        };
    });

    server.start();  // starts the worker thread; handlers run there from now on
    std::printf("echoing on ws://localhost:%u/ -- Ctrl-C stops\n", server.boundPort());
    std::fflush(stdout);
    stopSignals.wait();
    open.closeAll(server);
    server.stop();  // joins the worker; no handler runs after it returns
    return 0;
}
