// A broadcast chat: every message from any client goes to every connected client.
//
//   chat_server [PORT]        (8080 by default)
//
// Open examples/chat.html in two browser windows (straight from the file, no web server
// needed), press Connect in both and type. Ctrl-C (or SIGTERM) stops the server, which closes
// every client's connection with 1001 first.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Shutdown.h"
#include "tidewire/WebSocketServer.h"

using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

int main(int argc, char** argv) {
    StopSignals stopSignals;  // before any worker thread exists
    const unsigned int port = argc > 1 ? std::atoi(argv[1]) : 8080;
    OpenSessions room;  // declared first, so it outlives the server and every handler using it
    WebSocketServer server(port);

    // Browsers name the page's origin in their request (a page opened from a file says
    // "null"). A deployed server admits its own site only, before start:
    //   server.setAllowedOrigins({"https://chat.example"});

    server.onNewSession([&server, &room](WebSocketSession& session) {
        // The registry identifier lets other sessions reach this one via getSession.
        const unsigned int id = session.identity().id;
        session.onOpenHandler = [&room, id] { room.enter(id); };
        session.onCloseHandler = [&room, id] { room.leave(id); };
        session.onErrorHandler = [&room, id](const std::string&) { room.leave(id); };
        session.onMessageHandler = [&server, &room](const std::vector<uint8_t>& bytes,
                                                    bool isText) {
            for (unsigned int member : room.members()) {
                // Null once that session has ended and left the registry.
                if (auto peer = server.getSession(member)) {
                    peer->send(bytes, isText, 0);
                }
            }
        };
    });

    server.start();
    std::printf("chat on ws://localhost:%u/ -- open examples/chat.html, Ctrl-C stops\n",
                server.boundPort());
    std::fflush(stdout);
    stopSignals.wait();
    room.closeAll(server);
    server.stop();
    return 0;
}
