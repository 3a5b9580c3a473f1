// A broadcast chat: every message from any client goes to every connected client.
//
//   chat_server [PORT]        (8080 by default)
//
// Open examples/chat.html in two browser windows (straight from the file, no web server
// needed), press Connect in both and type. Press Enter here to stop.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tidewire/WebSocketServer.h"

using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

// The identifiers of the open sessions. The server's handlers all run on its one worker
// thread, but the mutex keeps this correct if you also broadcast from another thread.
class Room {
public:
    void enter(unsigned int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        members_.insert(id);
    }
    void leave(unsigned int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        members_.erase(id);
    }
    std::set<unsigned int> members() {
        std::lock_guard<std::mutex> lock(mutex_);
        return members_;
    }

private:
    std::mutex mutex_;
    std::set<unsigned int> members_;
};

int main(int argc, char** argv) {
    const unsigned int port = argc > 1 ? std::atoi(argv[1]) : 8080;
    Room room;  // declared first, so it outlives the server and every handler using it
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
    std::printf("chat on ws://localhost:%u/ -- open examples/chat.html, Enter stops\n",
                server.boundPort());
    std::fflush(stdout);
    std::getchar();
    server.stop();
    return 0;
}
