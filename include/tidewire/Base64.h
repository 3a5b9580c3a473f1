#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relaymatrix::extensions::tidewire {

// Standard Base64 (RFC 4648 section 4): padded with "=", no line breaks.
class Base64 {
public:
    static std::string encode(const std::vector<uint8_t>& data);
    // Same output as the vector form for the same bytes (NUL and bytes above 127 included).
    static std::string encode(const std::string& data);
};

}  // namespace relaymatrix::extensions::tidewire
