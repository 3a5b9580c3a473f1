// A UDP relay: every datagram that arrives on one port is sent on to a fixed destination.
//
//   udp_relay LISTEN_PORT HOST PORT     HOST is a numeric address, e.g. 127.0.0.1
//
// Try it with the command-line tool in three shells:
//   tidewire udp listen 9001
//   udp_relay 9000 127.0.0.1 9001
//   tidewire udp send 127.0.0.1 9000      (then type lines)
// Ctrl-C (or SIGTERM) stops the relay.
#include <cstdio>
#include <cstdlib>

#include "Shutdown.h"
#include "tidewire/UDPServer.h"

// The delegate runs on the receiving server's worker thread, one datagram at a time.
class Forwarder : public UDPServerDelegate {
public:
    explicit Forwarder(UDPServer& destination) : destination_(destination) {}

    void onMessageReceived(const char* data, size_t size) override {
        // `data` is valid only during this call; send copies it, so no buffer is kept here.
        // Datagrams longer than 1024 bytes arrive cut to that size.
        if (destination_.send(data, size) != 0) {
            std::fprintf(stderr, "relay: could not forward %zu bytes\n", size);
        }
    }

private:
    UDPServer& destination_;
};

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT HOST PORT\n", argv[0]);
        return 2;
    }
    StopSignals stopSignals;  // before any worker thread exists
    // Sending mode: fixed remote endpoint, local port 0 (any). Throws std::system_error for
    // a host that is not a numeric address.
    UDPServer destination(argv[2], std::atoi(argv[3]), 0);
    // Receive-only mode: accepts datagrams from anyone on LISTEN_PORT.
    UDPServer source(std::atoi(argv[1]));

    Forwarder forwarder(destination);  // declared after both servers: destroyed first
    source.setDelegate(&forwarder);
    destination.start();  // the sender runs first, so that no datagram finds it stopped
    source.start();

    std::printf("relaying port %u to %s:%s -- Ctrl-C stops\n", source.boundPort(), argv[2],
                argv[3]);
    std::fflush(stdout);
    stopSignals.wait();
    source.stop();  // no delegate call after this returns
    destination.stop();
    return 0;
}
