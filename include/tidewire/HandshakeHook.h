#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tidewire/HttpHeaders.h"

namespace relaymatrix::extensions::tidewire {

// A client's opening handshake as a server's hook sees it, once the request has been read.
struct HandshakeRequest {
    std::string target;  // path and query, as in the request line
    HttpHeaders headers;
    // Subprotocols the client offered, in its order (every Sec-WebSocket-Protocol field,
    // comma lists split, blanks trimmed).
    std::vector<std::string> protocols;
    std::string peerAddress;  // IP literal, IPv6 without brackets
    unsigned short peerPort = 0;
    // With mutual TLS, the subject of the verified client certificate; empty otherwise.
    std::string peerCertificateSubject;
};

// A hook's answer: accept (optionally naming one of the offered subprotocols and adding
// response headers) or reject with an HTTP status and a short text body.
struct HandshakeDecision {
    static HandshakeDecision accept(std::string subprotocol = {}) {
        HandshakeDecision decision;
        decision.subprotocol = std::move(subprotocol);
        return decision;
    }
    static HandshakeDecision reject(int status, std::string body = {}) {
        HandshakeDecision decision;
        decision.accepted = false;
        decision.status = status;
        decision.body = std::move(body);
        return decision;
    }

    bool accepted = true;
    std::string subprotocol;  // accepted: one of HandshakeRequest::protocols, or empty
    // Extra response headers, on the 101 or on the refusal. Each must be a valid field that
    // the handshake does not set itself; otherwise the client is refused with 500.
    HttpHeaders headers;
    int status = 0;    // rejected: 400 to 599 (anything else is sent as 500)
    std::string body;  // rejected: sent as text/plain
};

// Runs on the server's worker thread, once per request, before the 101 goes out; must not
// block. An exception it throws refuses the client with 500 and is logged.
using HandshakeHook = std::function<HandshakeDecision(const HandshakeRequest&)>;

}  // namespace relaymatrix::extensions::tidewire
