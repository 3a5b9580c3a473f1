#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tidewire/HandshakeHook.h"

// What a server decides about an opening handshake beyond answering it: whom it admits and
// which subprotocol it names, and the texts that carry the answer. Pure: no I/O, no logging.
namespace relaymatrix::extensions::tidewire {

struct HandshakePolicy {
    HandshakeHook hook;
    // Browser origins admitted (exact match, "*" admits any); empty: no origin check. A
    // request without an Origin field is not from a browser page and is not checked.
    std::vector<std::string> allowedOrigins;
    // Named to a client that offers one, in this order of preference, when no hook chose.
    std::vector<std::string> subprotocols;
};

// The request line's target, every field, and the offered subprotocols split out.
HandshakeRequest readHandshakeRequest(std::string_view headerBlock);

// Origins first (403), then the hook, then the server's subprotocol list. A hook that throws
// or answers something unusable refuses with 500; `problem` then says why, for the log.
HandshakeDecision decideHandshake(const HandshakePolicy& policy, const HandshakeRequest& request,
                                  std::string& problem);

// The complete refusal: status line, "Connection: close", the body's type and length, the
// decision's headers, the empty line and the body.
std::string buildRefusalResponse(const HandshakeDecision& decision);

// "403 Forbidden" and the like, for the status line and the log.
std::string statusText(int status);

}  // namespace relaymatrix::extensions::tidewire
