#include "tidewire/Handshake.h"

#include <cstdint>
#include <vector>

#include "tidewire/Base64.h"
#include "tidewire/SHA1Hash.h"

namespace relaymatrix::extensions::tidewire {

namespace {
constexpr char websocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
}

std::string generateAcceptKey(const std::string& key) {
    return Base64::encode(SHA1Hash::hash(key + websocketGuid));
}

std::string generateNonce(std::mt19937& rng) {
    std::vector<uint8_t> bytes(16);
    for (uint8_t& byte : bytes) {
        // The engine yields 32-bit values; the top 8 bits are the byte.
        byte = static_cast<uint8_t>((rng() >> 24) & 0xFF);
    }
    return Base64::encode(bytes);
}

}  // namespace relaymatrix::extensions::tidewire
