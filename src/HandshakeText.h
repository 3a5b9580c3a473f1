#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The texts of the opening handshake: building them and reading them. Pure functions over
// bytes; the connection code does the I/O and the logging.
namespace relaymatrix::extensions::tidewire {

// Size of the header block at the front of `bytes`, up to and including the first
// "\r\n\r\n"; 0 while that delimiter has not arrived.
size_t findHeaderBlockEnd(std::string_view bytes);

// The client's upgrade request, ending with the empty line. `target` is the request target
// (path and query), `host` goes into the Host line without any port; the Sec-WebSocket-Protocol
// line is present only when `protocols` is not empty and lists them as given.
std::string buildClientHandshakeRequest(const std::string& target, const std::string& host,
                                        const std::string& key,
                                        const std::vector<std::string>& protocols);

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

}  // namespace relaymatrix::extensions::tidewire
