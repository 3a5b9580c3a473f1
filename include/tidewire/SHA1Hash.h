#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relaymatrix::extensions::tidewire {

class SHA1Hash {
public:
    // The raw 20-byte SHA-1 digest of the string's bytes (not hexadecimal text).
    static std::vector<uint8_t> hash(const std::string& data);
};

}  // namespace relaymatrix::extensions::tidewire
