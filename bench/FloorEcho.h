#pragma once

#include <memory>
#include <string>

// The cheapest echo a one-thread server can do on a given load: level-triggered epoll, one
// receive per readiness, every complete frame of it echoed into one buffer, one send (or one
// SSL_write) for all of it. No per-message allocation, no callbacks, no queues, no re-arming.
// What it spends per message is close to what the kernel (and, over TLS, the cipher) costs on
// that load, the part no user-space change to a server can remove. A benchmark peer only: it
// trusts its client (no limits, no close handshake, no validation).
namespace floor_echo {

class FloorEchoServer {
public:
    // TLS 1.2 with the given certificate and key when `tls`.
    FloorEchoServer(bool tls, const std::string& certificate, const std::string& key);
    ~FloorEchoServer();
    unsigned short port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace floor_echo
