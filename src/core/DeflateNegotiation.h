#pragma once

#include <string>
#include <vector>

#include "tidewire/CompressionOptions.h"

// Agreeing on permessage-deflate in the opening handshake: the client's offer, the server's
// answer to the offers it receives, and the client's check of that answer. Pure: header
// values in, agreed parameters and header values out.
namespace relaymatrix::extensions::tidewire {

// What both sides compress with once the extension is agreed. "server" and "client" name the
// side that compresses.
struct DeflateParameters {
    bool serverNoContextTakeover = false;
    bool clientNoContextTakeover = false;
    int serverMaxWindowBits = 15;  // 8 to 15; we compress with 9 at least
    int clientMaxWindowBits = 15;
};

struct DeflateAgreement {
    bool agreed = false;
    DeflateParameters parameters;
    // The Sec-WebSocket-Extensions value of the server's response (empty: none).
    std::string header;
    // Client: the response cannot be accepted; the handshake fails with this text.
    std::string failure;
};

// Window bits a host may ask for: zlib's raw deflate cannot compress with an 8-bit window.
constexpr int minimumDeflateWindowBits = 9;
constexpr int maximumDeflateWindowBits = 15;

// Empty when `options` can be used; otherwise what is wrong with them.
std::string compressionOptionsProblem(const CompressionOptions& options);

// The client's Sec-WebSocket-Extensions value: one offer, always allowing the server to
// limit the client's window (client_max_window_bits).
std::string buildDeflateOffer(const CompressionOptions& options);

// Server: the first offer among every Sec-WebSocket-Extensions value of the request that
// `options` can honour. Offers that are malformed, carry unknown or repeated parameters, or
// ask for what we cannot do (an 8-bit server window) are declined; none left: not agreed,
// and the connection goes on uncompressed.
DeflateAgreement answerDeflateOffers(const std::vector<std::string>& requestValues,
                                     const CompressionOptions& options);

// Client, having sent buildDeflateOffer(options): every Sec-WebSocket-Extensions value of
// the response. None: not agreed. Anything but one well-formed permessage-deflate answer
// that fits our offer sets `failure` ("Handshake validation error: " and the reason).
DeflateAgreement checkDeflateResponse(const std::vector<std::string>& responseValues,
                                      const CompressionOptions& options);

}  // namespace relaymatrix::extensions::tidewire
