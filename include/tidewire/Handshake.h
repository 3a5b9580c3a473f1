#pragma once

#include <random>
#include <string>

namespace relaymatrix::extensions::tidewire {

// The Sec-WebSocket-Accept value (28 characters) for a Sec-WebSocket-Key value. The key is
// taken byte for byte: no trimming and no validation.
std::string generateAcceptKey(const std::string& key);

// A fresh Sec-WebSocket-Key value (24 characters): 16 bytes, each the top 8 bits of one
// output of `rng`, so the same seed gives the same keys on every standard library. Advances
// `rng` by exactly 16 outputs; the caller must not share one engine between threads.
std::string generateNonce(std::mt19937& rng);

}  // namespace relaymatrix::extensions::tidewire
