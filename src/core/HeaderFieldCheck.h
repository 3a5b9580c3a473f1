#pragma once

#include <string>
#include <string_view>

// Which extra header fields may join a message of the opening handshake: a host's request
// headers on a client, a handshake hook's response headers on a server. Pure functions.
namespace relaymatrix::extensions::tidewire {

// True for a field the handshake writes itself (Host, Upgrade, Connection and the
// Sec-WebSocket-* fields), in any letter case: a second copy would contradict or repeat it.
bool isHandshakeHeader(std::string_view name);

// Why `name: value` may not be added: "" when it may, else a short reason naming the field.
// Refused: an empty name or one that is not an HTTP token (RFC 7230 tchar), a value holding
// CR, LF or NUL (they would end the field early and inject text), and handshake fields.
std::string headerFieldProblem(std::string_view name, std::string_view value);

}  // namespace relaymatrix::extensions::tidewire
