#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tidewire/ConnectionOptions.h"
#include "tidewire/EventLoop.h"
#include "tidewire/HandshakeHook.h"
#include "tidewire/TLSOptions.h"
#include "tidewire/WebSocketSession.h"

namespace relaymatrix::extensions::tidewire {

// A WebSocket server listening on a TCP port of all IPv4 interfaces (or of one address),
// plain or over TLS 1.2.
// Every accepted connection becomes a session with the next numeric
// identifier (0, 1, 2, ... in accept order); the server keeps it in its registry until the
// session ends.
//
// Threads: one worker thread, created by `start`, runs the listener and every session; the
// new-session callback and all session handlers run there and must not throw. `getSession`
// and `removeSession` may be called from any thread, the new-session callback included.
// `start`, `stop` and the destructor must not be called from the worker thread. Opt-in:
// setEventLoops spreads the sessions over several loops and threads, its own or the host's
// (see there).
class WebSocketServer {
public:
    // Plain server. The port (its low 16 bits; 0 lets the system choose) is bound and
    // listening when the constructor returns. Throws std::system_error naming the failed step
    // ("open", "set_option", "bind", "listen").
    explicit WebSocketServer(unsigned int port);
    // TLS 1.2 server with a PEM certificate chain file and a PEM private key file. Also throws
    // std::system_error when a file cannot be loaded or the key does not match.
    WebSocketServer(unsigned int port, const std::string& certificateFile,
                    const std::string& privateKeyFile);
    // The same, listening on `bindAddress` only: an IPv4 or IPv6 literal ("127.0.0.1" for
    // loopback only, "::" for every interface, IPv4 and IPv6 alike). Throws
    // std::system_error for an address that does not parse, as for a failed step.
    WebSocketServer(const std::string& bindAddress, unsigned int port);
    WebSocketServer(const std::string& bindAddress, unsigned int port,
                    const std::string& certificateFile, const std::string& privateKeyFile);
    // Stops and joins the worker. Sessions still open are closed without any handler being
    // called; a session the host still holds stays a safe object whose sends do nothing.
    ~WebSocketServer();

    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Arms the first accept and starts the worker thread. Called once.
    void start();
    // Stops the loop and joins the worker. Final: the server does not serve again. Listening
    // and session sockets stay open until destruction; connected clients see no close.
    void stop();

    // Called on the worker thread for every accepted session before it starts (no handshake
    // yet): the place to install the session's handlers. Install it before `start`.
    void onNewSession(std::function<void(WebSocketSession&)> handler);

    // The registered session, or null when the identifier is unknown or already removed. A
    // pointer obtained earlier stays valid after removal.
    std::shared_ptr<WebSocketSession> getSession(unsigned int sessionId);
    // Drops the registry entry, if any, and logs the removal line either way. The sessions
    // call it when they end.
    void removeSession(unsigned int sessionId);

    // Bound on one incoming frame's payload and on one reassembled message, for sessions
    // accepted from now on (default 100 MiB). A session whose client exceeds it fails with
    // "Message too big" after sending Close 1009.
    void setMaxMessageSize(uint64_t bytes);

    // Opt-in timeouts, keepalive, send-buffer and compression settings for every session (see
    // ConnectionOptions; the handshake timeout runs from accept to the 101, TLS included, and
    // the connect timeout does not apply). Set before `start`. Throws std::invalid_argument
    // for compression window bits outside 9 to 15.
    void setConnectionOptions(const ConnectionOptions& options);

    // Handshake control, each opt-in and set before `start`. With a hook, allowed origins or a
    // session limit, a client is admitted only once its request has been read: it reaches
    // the registry and the new-session callback then (still before its 101 and its
    // onOpenHandler), and a refused client never does; it gets its HTTP refusal and is
    // disconnected. Without any of them, sessions are registered at accept as always.
    //
    // The hook decides each request (see HandshakeHook.h); origins are checked before it.
    void setHandshakeHook(HandshakeHook hook);
    // Browser origins admitted, exact ("https://app.example"); "*" admits every origin. A
    // request from another origin is refused with 403. Requests without an Origin field
    // (clients that are not browsers) are not checked.
    void setAllowedOrigins(std::vector<std::string> origins);
    // Subprotocols in order of preference: the first one the client offered is named in the
    // 101, unless the hook chose one. Without a list or a hook the server names none.
    void setSubprotocols(std::vector<std::string> protocols);
    // At most this many sessions in the registry (0: no limit); a client beyond it is
    // refused with 503.
    void setMaxSessions(size_t sessions);
    // TLS servers: TLS 1.3, and mutual TLS (client certificates required and verified
    // against the options' CA file or directory; the subject joins the session's identity).
    // Throws std::system_error when a CA file or directory cannot be loaded.
    void setTLSOptions(const TLSOptions& options);

    // Runs sessions on `count` event loops, each with its own worker thread, instead of one
    // (0 and 1: one, the default). Set before `start`. The listener runs on the first loop
    // and hands accepted connections to the loops in turn (session k to loop k % count), so
    // sessions spread evenly over the cores whatever their clients do. Each session's
    // handlers run on its loop's thread, in order; handlers of sessions on different loops
    // run at the same time, so what they share needs its own lock. The registry
    // (getSession, removeSession), the session limit and the new-session callback (run on the
    // session's loop) stay exact across loops. `stop` stops every loop.
    void setEventLoops(size_t count);
    // Runs the listener and the sessions on the host's loops instead (the listener on the
    // first), shared with clients or other servers; the server makes no thread. Set before
    // `start`; null entries are ignored, and an empty list leaves the server's own loop.
    // Sessions spread over them as above. On them `stop` and the destructor join nothing and
    // may be called on any thread, a handler or callback of this server included: after they
    // return no callback of the server and no handler of its sessions runs (they wait for one
    // running on another thread), and the listener and every session close on their loops
    // (clients see the connection end, without a Close). Sessions the host still holds stay
    // safe objects whose calls do nothing, even after the loops are gone.
    void setEventLoops(std::vector<std::shared_ptr<EventLoop>> loops);

    // The port the listener is bound to (useful after binding port 0).
    unsigned short boundPort() const;

private:
    struct Internals;
    std::vector<std::shared_ptr<EventLoop>> hostLoops;  // setEventLoops(loops); outlive internals
    std::shared_ptr<Internals> internals;
};

}  // namespace relaymatrix::extensions::tidewire
