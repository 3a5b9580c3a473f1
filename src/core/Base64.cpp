#include "tidewire/Base64.h"

#include <cstddef>

namespace relaymatrix::extensions::tidewire {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBytes(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t group =
            (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | uint32_t{data[i + 2]};
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(alphabet[(group >> 6) & 0x3F]);
        out.push_back(alphabet[group & 0x3F]);
    }
    const size_t rest = size - i;
    if (rest != 0) {
        uint32_t group = uint32_t{data[i]} << 16;
        if (rest == 2) {
            group |= uint32_t{data[i + 1]} << 8;
        }
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace

std::string Base64::encode(const std::vector<uint8_t>& data) {
    return encodeBytes(data.data(), data.size());
}

std::string Base64::encode(const std::string& data) {
    return encodeBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

}  // namespace relaymatrix::extensions::tidewire
