#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tidewire/UDPServerDelegate.h"

// A UDP datagram endpoint on an IPv4 socket with its own event loop and worker thread.
//
// Receive-only mode (`UDPServer(port)`) accepts datagrams from anyone and refuses to send.
// Sending mode has one fixed remote endpoint: it sends only there and accepts datagrams
// only from exactly that address and port. At most 1024 bytes of a datagram are kept.
//
// Threads: the delegate runs on the worker thread. `send`, `setDelegate` and
// `getDelegate` may be called from any thread, `send` also from inside the delegate.
// `start`, `stop` and the destructor join the worker; `stop` called from the delegate stops
// the loop without joining, and the destructor must never run inside it.
class UDPServer {
public:
    // Binds 0.0.0.0:port (low 16 bits of `port`). Throws std::system_error on failure.
    explicit UDPServer(int port);
    // Binds 0.0.0.0:localPort. `remoteHost` must be a numeric IPv4 or IPv6 address
    // (no name lookup); anything else throws std::system_error with EINVAL.
    UDPServer(const std::string& remoteHost, int remotePort, int localPort);
    ~UDPServer();

    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;

    // Starts the worker thread. Starting a running server does nothing; a stopped
    // server starts again.
    void start();
    // Stops the loop and joins the worker. The socket stays bound until destruction.
    // Datagrams queued by `send` and not yet handed to the socket stay queued unsent: they
    // go out only if the server is started again, and are dropped silently at destruction.
    void stop();

    // Queues one datagram to the remote endpoint. The bytes are copied, so the caller's
    // buffer may be reused at once. Returns 0 when the datagram was queued for the worker
    // (a `stop` before the worker sends it holds it back, see above), 1 on a receive-only
    // server, 2 when not running, 3 without a usable remote endpoint. The outcome of a
    // queued send is only logged.
    int send(const char* data, size_t size);

    UDPServerDelegate* getDelegate();
    // Null switches delivery off. The delegate must outlive its use by the server.
    void setDelegate(UDPServerDelegate* delegate);

    // The port the socket is actually bound to (useful after binding port 0).
    unsigned short boundPort() const;

private:
    void receive();
    void reportMessage(const char* data, size_t size);

    struct Internals;
    std::unique_ptr<Internals> internals;
};
