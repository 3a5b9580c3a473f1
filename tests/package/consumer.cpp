// A host program built against the installed library (CMake package or pkg-config): one
// message through a server and a client on loopback. Exit status 0 when it came back.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace relaymatrix::extensions::tidewire;

int main() {
    WebSocketServer server("127.0.0.1", 0);
    server.onNewSession([](WebSocketSession& session) {
        session.onMessageHandler = [&session](const std::vector<uint8_t>& bytes, bool isText) {
            session.send(bytes, isText, 0);
        };
    });
    server.start();
    std::promise<std::string> echo;
    WebSocketClient::Handlers handlers;
    handlers.onOpen = [] {};
    handlers.onMessage = [&echo](const std::vector<uint8_t>& bytes, bool) {
        echo.set_value(std::string(bytes.begin(), bytes.end()));
    };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(server.boundPort()) + "/", {},
                           handlers);
    client.send({'h', 'i'}, true, 0);
    std::future<std::string> answer = echo.get_future();
    return answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                   answer.get() == "hi"
               ? 0
               : 1;
}
