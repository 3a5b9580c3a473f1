#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tidewire/HttpHeaders.h"

// The texts of the opening handshake: building them and reading them. Pure functions over
// bytes; the connection code does the I/O and the logging.
namespace relaymatrix::extensions::tidewire {

// Size of the header block at the front of `bytes`, up to and including the first
// "\r\n\r\n"; 0 while that delimiter has not arrived.
size_t findHeaderBlockEnd(std::string_view bytes);

// The client's upgrade request, ending with the empty line. `target` is the request target
// (path and query), `host` goes into the Host line without any port; the Sec-WebSocket-Protocol
// line is present only when `protocols` is not empty and lists them as given. `extraHeaders`
// follow in order, written as given: the caller has checked them (headerFieldProblem).
std::string buildClientHandshakeRequest(const std::string& target, const std::string& host,
                                        const std::string& key,
                                        const std::vector<std::string>& protocols,
                                        const HttpHeaders& extraHeaders = HttpHeaders());

// Outcome of checking a server's handshake response header block.
struct ServerResponseCheck {
    bool accepted = false;
    // On refusal: "Handshake validation error: " and the reason, as logged and reported.
    std::string failure;
    // Value of every Sec-WebSocket-Protocol line, in order; the last one is the negotiated
    // subprotocol. Only filled once the status line has passed.
    std::vector<std::string> protocols;
};

// Checks the response header block (status line through the empty line): the status line
// must start with "HTTP/" and carry status 101, and the last Sec-WebSocket-Accept line must
// equal `expectedAccept` exactly. Header names are matched without regard to letter case,
// anywhere in a line; a value runs to the end of its line, without the CR.
ServerResponseCheck checkServerHandshakeResponse(std::string_view headerBlock,
                                                 const std::string& expectedAccept);

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

// The "name: value" fields of a header block (its first line, request or status line,
// skipped; up to the empty line). Blanks around the value are dropped; a line without a
// colon is ignored.
HttpHeaders readHeaderFields(std::string_view headerBlock);

// "HTTP/1.1 101 Switching Protocols", the Upgrade and Connection lines, the
// Sec-WebSocket-Accept line for `key` (taken byte for byte) and the empty line.
std::string buildServerHandshakeResponse(const std::string& key);
// The same with a Sec-WebSocket-Protocol line for `subprotocol` (when not empty) and
// `extraHeaders` (already checked) before the empty line.
std::string buildServerHandshakeResponse(const std::string& key, const std::string& subprotocol,
                                         const HttpHeaders& extraHeaders);

}  // namespace relaymatrix::extensions::tidewire
