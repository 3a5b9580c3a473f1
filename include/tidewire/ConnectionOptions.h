#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "tidewire/CompressionOptions.h"
#include "tidewire/EventLoop.h"
#include "tidewire/HttpHeaders.h"
#include "tidewire/TLSOptions.h"

namespace relaymatrix::extensions::tidewire {

// Opt-in liveness and flow-control settings of one WebSocket connection. Every member's
// default switches its feature off, so a default value behaves exactly as no options at all.
// A client takes them in its constructor; a server applies them to each session it accepts.
//
// Each expiry is one failure, reported through the usual path: an error line,
// onErrorHandler with the text named below, then the connection closes (never
// onCloseHandler). One steady timer per connection serves them all; with no timeout and no
// keepalive set there is no timer at all.
struct ConnectionOptions {
    // Client only: name lookup and TCP connect. "Connect timeout".
    std::chrono::milliseconds connectTimeout{0};
    // TLS handshake and the HTTP upgrade exchange; on a server, from accept to the 101.
    // "Handshake timeout".
    std::chrono::milliseconds handshakeTimeout{0};
    // After our Close frame is written, how long the peer has to answer. "Close timeout".
    // Also how long the Close sent after a peer broke the protocol may take to go out
    // behind what was queued before it (that failure is the one reported).
    std::chrono::milliseconds closeTimeout{0};
    // Silence from the peer after which a Ping goes out; anything received counts as life.
    std::chrono::milliseconds keepaliveInterval{0};
    // After that Ping, further silence after which the connection fails with
    // "Keepalive timeout" (0: the interval again).
    std::chrono::milliseconds keepaliveTimeout{0};
    // Bytes: a send that would take bufferedAmount() past this is not queued and the
    // connection fails once with "Send buffer full" (a Close 1008 is attempted first).
    size_t maxBufferedAmount = 0;
    // Bytes: once bufferedAmount() has passed this, onDrainHandler runs when it falls back
    // to zero.
    size_t drainLowWaterMark = 0;

    // Client only: extra request headers (authorization, cookies), sent in order after the
    // handshake's own. The client's constructor throws std::invalid_argument for a name that
    // is empty or not an HTTP token, a value holding CR, LF or NUL, or a header the handshake
    // sets itself (Host, Upgrade, Connection, Sec-WebSocket-*). The trace log shows their names
    // only.
    HttpHeaders requestHeaders;
    // Message compression (permessage-deflate); off by default. The client's constructor and
    // the server's setConnectionOptions throw std::invalid_argument for window bits outside
    // 9 to 15. Whether it was agreed shows in SessionIdentity::extensions.
    CompressionOptions compression;

    // Strict protocol mode: the peer's frames are held to RFC 6455 to the letter. The
    // connection fails (error line, onErrorHandler, a Close with the status in brackets, then
    // the end) on reserved bits no agreed extension defines or a reserved opcode ("Reserved
    // bits set", "Reserved opcode", 1002), a fragmented control frame ("Fragmented control
    // frame", 1002), a Continuation with no message begun ("Unexpected continuation", 1002), a
    // new data frame while a fragmented message is open ("Unexpected frame", 1002), a text
    // message or Close reason that is not UTF-8 ("Invalid UTF-8", 1007; a text message fails
    // at the first frame that can no longer be valid), and a Close status no endpoint may
    // send or a 1-byte Close payload ("Invalid close code", 1002). A client also refuses a
    // response naming a subprotocol it did not offer or an extension it did not offer
    // ("Handshake validation error: Subprotocol not offered" / "Extension not offered").
    // Off by default: the reader is lenient and checks none of these.
    bool strict = false;

    // Client only: run on this shared loop instead of a loop and thread of the client's own
    // (null, the default). Every handler then runs on the loop's thread, with those of every
    // other connection on it. The client holds the loop. Its destructor and stop() join
    // nothing and never wait for the network: they may be called on any thread, inside the
    // client's own handlers too; they wait only for a handler of this client running on
    // another thread to return. After they return no handler of the client runs, and the
    // connection ends on the loop without a Close, as after stop() on a client's own loop.
    // TLS clients on one loop with the same `tls` settings share one TLS context, so the
    // system's CA store is loaded once per loop rather than once per client (about 20 ms).
    std::shared_ptr<EventLoop> eventLoop;

    // Client only: trust, client certificate and TLS version (a server takes its own
    // TLSOptions through WebSocketServer::setTLSOptions).
    TLSOptions tls;
};

}  // namespace relaymatrix::extensions::tidewire
