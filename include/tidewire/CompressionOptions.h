#pragma once

#include <cstddef>

namespace relaymatrix::extensions::tidewire {

// Opt-in message compression (permessage-deflate) of one WebSocket connection. Off by
// default: no extension is offered or accepted and the handshake and frames stay as without
// it. On, a client offers it and a server accepts a client's offer it can honour; when the
// peer does not take part, the connection goes on uncompressed.
//
// "server" and "client" name the side that compresses: serverNoContextTakeover asks the
// server to compress each message on its own, whichever side sets it.
struct CompressionOptions {
    bool enabled = false;
    // Compress each message without reference to earlier ones. Off (context takeover), each
    // side keeps its compression state between messages: better ratio for similar messages,
    // at the price of that state's memory (about 300 KiB per connection at 15 window bits)
    // for the connection's whole life. On, the state is released after every message.
    bool serverNoContextTakeover = false;
    bool clientNoContextTakeover = false;
    // Base-two logarithm of the LZ77 window, 9 to 15; a smaller window saves memory and
    // costs ratio. The server's value limits what the server compresses with; the client's
    // value is what the client asks the server to hold it to (or, on a server, what it asks
    // of a client that allows it).
    int serverMaxWindowBits = 15;
    int clientMaxWindowBits = 15;
    // Messages shorter than this many bytes go out uncompressed: compressing a few bytes
    // costs time and rarely saves any.
    size_t minimumMessageBytes = 32;
};

}  // namespace relaymatrix::extensions::tidewire
