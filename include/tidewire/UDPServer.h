#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tidewire/UDPOptions.h"
#include "tidewire/UDPServerDelegate.h"

// A UDP datagram endpoint with its own event loop and worker thread.
//
// Receive-only mode (`UDPServer(port)`) accepts datagrams from anyone and refuses to send.
// Sending mode has one fixed remote endpoint: it sends only there and accepts datagrams
// only from exactly that address and port. Without options the socket is IPv4 on 0.0.0.0 and
// at most 1024 bytes of a datagram are kept; UDPOptions (see there) choose the address, the
// receive size, buffer and batch sizes, and switch on truncation reports, the sender's
// address (`UDPServerDelegate::onDatagramReceived`), `sendTo` and drop counting.
//
// Threads: the delegate runs on the worker thread. `send`, `sendTo`, `droppedDatagrams`,
// `setDelegate` and `getDelegate` may be called from any thread, `send` and `sendTo` also
// from inside the delegate. `flush` may be called from any thread but the worker. `start`,
// `stop` and the destructor join the worker; `stop` called from the delegate stops the loop
// without joining, and the destructor must never run inside it.
//
// Every datagram queued by `send` or `sendTo` is copied, so the caller's buffer may be reused
// at once, and handed to the kernel in queue order by the worker (up to `sendBatch` per
// sendmmsg call). Queued datagrams wait while the server is stopped and go out after the next
// `start`; the destructor discards them silently (`flush` before `stop` sends them).
class UDPServer {
public:
    // Binds 0.0.0.0:port (low 16 bits of `port`). Throws std::system_error on failure.
    explicit UDPServer(int port);
    // Binds 0.0.0.0:localPort. `remoteHost` must be a numeric IPv4 or IPv6 address
    // (no name lookup); anything else throws std::system_error with EINVAL.
    UDPServer(const std::string& remoteHost, int remotePort, int localPort);
    // The same two modes with options. Besides the failures above, an option out of range
    // throws std::invalid_argument and a bind address that is not numeric std::system_error
    // with EINVAL. Nothing is thrown after construction. Log lines show the bound port. An
    // IPv4 remote of a dual-stack ("::") socket is reached and accepted as its v4-mapped form.
    UDPServer(int port, const UDPOptions& options);
    UDPServer(const std::string& remoteHost, int remotePort, int localPort,
              const UDPOptions& options);
    ~UDPServer();

    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;

    // Starts the worker thread. Starting a running server does nothing; a stopped
    // server starts again.
    void start();
    // Stops the loop and joins the worker. The socket stays bound until destruction.
    void stop();

    // Queues one datagram to the remote endpoint. Returns 0 when the datagram was queued for
    // the worker (see above for a `stop` before it is sent), 1 on a receive-only server, 2
    // when not running, 3 without a usable remote endpoint. The outcome of a queued send is
    // only logged.
    int send(const char* data, size_t size);
    // Queues one datagram to `address` (numeric IPv4 or IPv6, no brackets) and `port`, for
    // instance the sender of a datagram being answered. Returns 0 when queued, 1 unless the
    // server was built with `UDPOptions::allowSendTo`, 2 when not running, 4 when the address
    // is not numeric, unspecified, IPv6 on an IPv4 socket, or the port is not 1 to 65535.
    // Each refusal logs one error line; the outcome of a queued send is only logged.
    int sendTo(const std::string& address, int port, const char* data, size_t size);
    // Waits until every datagram queued before the call has been handed to the kernel or has
    // failed (failures are logged), so a host that sends and then stops loses nothing. Returns
    // 0 then, 2 when the server is not running or is stopped meanwhile (what is still queued
    // stays queued), 5 when called on the worker thread (it would wait on itself).
    int flush();
    // Datagrams the kernel dropped on this socket because its receive buffer was full, as the
    // kernel reported them with the datagrams received since construction (a server built
    // with options only; 0 otherwise). Drops after the last datagram received are counted
    // when the next one arrives.
    uint64_t droppedDatagrams() const;

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
