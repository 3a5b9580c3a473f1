#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tidewire/ConnectionOptions.h"
#include "tidewire/WebSocketSession.h"

namespace relaymatrix::extensions::tidewire {

// A WebSocket client for one connection to one URL ("ws://", "wss://" or "https://"; TLS 1.2
// for the last two, with the server's certificate checked against the system's trusted CAs
// and against the host name). Constructing it starts the connection; it never reconnects.
// The host may be a name, an IPv4 literal or a bracketed IPv6 literal ("ws://[::1]:8080/x"):
// the Host header carries it as written in the URL (brackets kept, no port), log lines show
// endpoints as "127.0.0.1:8080" and "[::1]:8080". Over TLS, a name is sent as the server name
// (SNI) and checked against the certificate's DNS names; an IP literal is not sent (RFC 6066)
// and is checked against the certificate's IP addresses. ConnectionOptions::tls can replace
// the trusted CAs, present a client certificate and allow TLS 1.3. A certificate that fails
// the check fails the connection with OpenSSL's reason after the fixed text, and for a name or
// address that does not match, the one checked: "certificate verify failed (SSL routines):
// hostname mismatch (checked \"example.net\")", "...: self-signed certificate".
//
// Threads: the client runs its own event loop on one worker thread, started by the
// constructor. Every handler runs there, one at a time. `send`, `ping`, `close(payload)` and
// `setMaxMessageSize` may be called from any thread, also from inside a handler; they copy
// the bytes (or take over a vector moved into `send`) and return at once. Messages go out whole and
// in the order handed over; those handed over before the connection opens are sent right after
// onOpenHandler returns. `stop` and the destructor join the worker thread, so they must not be
// called from a handler. With ConnectionOptions::eventLoop the client runs on that shared loop
// instead, with no thread of its own, and `stop` and the destructor join nothing: see there.
class WebSocketClient : public WebSocketSession {
public:
    // Handlers installed before the connection starts, so none of its events can be missed.
    // An empty function keeps that handler's no-op default.
    struct Handlers {
        std::function<void()> onOpen;
        std::function<void()> onClose;
        std::function<void(const std::vector<uint8_t>&, bool)> onMessage;
        std::function<void(std::vector<uint8_t>&&, bool)> onOwnedMessage;
        std::function<void(const std::string&)> onError;
        std::function<void(const std::vector<uint8_t>&)> onPong;
        std::function<void()> onDrain;
    };

    // Starts connecting to `url`, offering the subprotocols `protocols` (in order, none when
    // empty). The scheme "wss" or "https", in any letter case, means TLS (port 443 unless
    // named); every other scheme, unknown ones included, plain TCP (port 80 unless named).
    // Throws std::invalid_argument only for a URL whose fragment (the text after the first
    // "#") holds a line feed or a carriage return: every other text parses. A URL that parses
    // but names nothing to connect to fails later, like a name that does not resolve: on the
    // worker thread, the line "[WebSocketClient] Connect error: <text>" and onErrorHandler
    // with <text>, and never a connection somewhere else. <text> is "Host not found
    // (authoritative)" for an empty host ("notaurl", "ws://", "ws://:8080") and "Service not
    // found" for a port of 0 or above 65535 ("ws://h:99999").
    // Throws std::system_error when the TLS context of a TLS URL cannot be set up, naming the
    // file when a CA, certificate or key file of ConnectionOptions::tls cannot be loaded. A
    // plain URL builds no TLS context and loads none of the system's CAs:
    // ConnectionOptions::tls is read for TLS URLs only. Also throws std::system_error when the
    // system refuses what a client needs (descriptors, a thread): "Too many open files".
    WebSocketClient(const std::string& url, const std::vector<std::string>& protocols);
    WebSocketClient(const std::string& url, const std::vector<std::string>& protocols,
                    Handlers handlers);
    // With opt-in timeouts, keepalive and send-buffer settings (see ConnectionOptions); the
    // connect timeout covers name lookup and TCP connect, the handshake timeout the TLS
    // handshake and the HTTP exchange. Also throws std::invalid_argument for a request header
    // that may not be sent ("Request header refused: " and the reason), and for a
    // certificateFile without privateKeyFile or the reverse (TLS URLs).
    WebSocketClient(const std::string& url, const std::vector<std::string>& protocols,
                    Handlers handlers, const ConnectionOptions& options);
    // Stops the loop and joins the worker; no handler runs during or after destruction. On a
    // shared loop, as stop().
    ~WebSocketClient() override;

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Sends one message as masked frames of at most `maxFrameSize` payload bytes each (0: no
    // limit).
    void send(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) override;
    void send(std::vector<uint8_t>&& data, bool isText, size_t maxFrameSize) override;
    // Sends one Ping frame with `payload`.
    void ping(const std::vector<uint8_t>& payload) override;
    // Starts the closing handshake: one Close frame with `payload` (status code bytes
    // included by the caller). onCloseHandler runs once the server has answered.
    void close(const std::vector<uint8_t>& payload) override;
    size_t bufferedAmount() const override;
    // peerAddress and peerPort from the TCP connect on; target (the request target) at once;
    // subprotocol (the server's choice, empty when none) and headers (the server's response
    // headers) once the response has been read, so from onOpenHandler on. id and
    // peerCertificateSubject stay empty. Any thread; a copy taken under a lock.
    SessionIdentity identity() const override;

    // Largest incoming frame payload and reassembled message, in bytes (100 MiB by default).
    // A larger one fails the connection with "Message too big" after a Close with status 1009.
    void setMaxMessageSize(uint64_t bytes);

    // Stops the event loop and joins the worker thread; the connection is abandoned without a
    // close frame and no handler runs any more. Repeating it does nothing. On a shared loop it
    // leaves the loop running and closes the socket there; it may then be called from any
    // thread, the client's own handlers included.
    void stop();

private:
    struct Internals;
    std::shared_ptr<EventLoop> sharedLoop;  // ConnectionOptions::eventLoop; outlives internals
    std::shared_ptr<Internals> internals;
};

}  // namespace relaymatrix::extensions::tidewire
