#pragma once

#include <cstdint>
#include <string>

#include "tidewire/HttpHeaders.h"

namespace relaymatrix::extensions::tidewire {

// Who is on the other end of one WebSocket connection, as learnt by its opening handshake.
// Complete once the connection is open; before that, only what is known so far is filled.
struct SessionIdentity {
    unsigned int id = 0;      // server sessions: the registry's identifier
    std::string peerAddress;  // IP literal, IPv6 without brackets
    unsigned short peerPort = 0;
    // Server: the request target (path and query). Client: the target it requested.
    std::string target;
    // The subprotocol the server chose; empty when none.
    std::string subprotocol;
    // The Sec-WebSocket-Extensions value the server answered with and both sides use (such
    // as "permessage-deflate"); empty when none was agreed.
    std::string extensions;
    // Server: the client's request headers. Client: the server's response headers.
    HttpHeaders headers;
    // Server with mutual TLS: the subject of the verified client certificate (one line,
    // RFC 2253 form). Empty otherwise.
    std::string peerCertificateSubject;
    // The status code and reason text of the Close frame the peer sent, set when it arrives
    // (before onCloseHandler runs): 1005 for a Close without a code; 0 and empty while none
    // has arrived.
    uint16_t closeCode = 0;
    std::string closeReason;
};

}  // namespace relaymatrix::extensions::tidewire
