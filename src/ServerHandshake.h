#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The server side of the opening handshake as pure functions: the client's request header
// block in, the key and requested subprotocols out, and the fixed 101 response. The session
// does the I/O and the logging.
namespace relaymatrix::extensions::tidewire {

struct ClientHandshakeRequest {
    // Value of the last line carrying "Sec-WebSocket-Key: " (any letter case), up to the
    // line's CR; empty when no line carries it.
    std::string key;
    // Value of every line carrying "Sec-WebSocket-Protocol: " (and no key), in order. Only
    // logged: the server negotiates no subprotocol.
    std::vector<std::string> requestedProtocols;
};

// Reads the request header block (up to and including its empty line) line by line: the
// first line (the request line) is skipped unexamined, then LF-terminated lines (CR kept) are
// searched until a line that is a lone CR, or the input ends. Nothing is validated and
// nothing is refused. Linear in the input and without recursion, so a line as long as the
// header cap is harmless.
ClientHandshakeRequest parseClientHandshakeRequest(std::string_view headerBlock);

// "HTTP/1.1 101 Switching Protocols", the Upgrade and Connection lines, the
// Sec-WebSocket-Accept line for `key` (taken byte for byte) and the empty line.
std::string buildServerHandshakeResponse(const std::string& key);

}  // namespace relaymatrix::extensions::tidewire
