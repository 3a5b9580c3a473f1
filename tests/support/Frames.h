#pragma once

// Frames as an independent peer writes and reads them, without the library's codec.

#include <cstdint>
#include <string>
#include <vector>

namespace tidewire_test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One frame; a masked one uses the key 01 02 03 04.
inline Bytes frame(uint8_t opcode, const Bytes& payload, bool masked, bool fin = true) {
    Bytes out{static_cast<uint8_t>((fin ? 0x80 : 0) | opcode)};
    const size_t n = payload.size();
    const int width = n < 126 ? 0 : n <= 0xFFFF ? 2 : 8;
    out.push_back(static_cast<uint8_t>((masked ? 0x80 : 0) | (width == 0   ? n
                                                              : width == 2 ? 126
                                                                           : 127)));
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    const uint8_t key[4] = {1, 2, 3, 4};
    if (masked)
        out.insert(out.end(), key, key + 4);
    for (size_t i = 0; i < n; ++i)
        out.push_back(payload[i] ^ (masked ? key[i % 4] : 0));
    return out;
}

// Takes the whole frames from the front of `bytes` as "<opcode>[c][*]:<payload>" ('c': RSV1,
// '*': not final), leaving an incomplete one; `masks` collects each frame's MASK bit.
inline std::vector<std::string> parseFrames(Bytes& bytes, std::vector<bool>* masks = nullptr) {
    std::vector<std::string> frames;
    size_t at = 0;
    while (bytes.size() - at >= 2) {
        const bool masked = bytes[at + 1] & 0x80;
        const size_t code = bytes[at + 1] & 0x7F, width = code == 126 ? 2 : code == 127 ? 8 : 0;
        const size_t header = 2 + width + (masked ? 4 : 0);
        if (bytes.size() - at < header)
            break;
        uint64_t n = width ? 0 : code;
        for (size_t i = 0; i < width; ++i)
            n = (n << 8) | bytes[at + 2 + i];
        if (bytes.size() - at - header < n)
            break;
        std::string payload(bytes.begin() + at + header, bytes.begin() + at + header + n);
        for (size_t i = 0; masked && i < n; ++i)
            payload[i] ^= bytes[at + header - 4 + i % 4];
        if (masks)
            masks->push_back(masked);
        frames.push_back(std::to_string(bytes[at] & 0x0F) + ((bytes[at] & 0x40) ? "c" : "") +
                         ((bytes[at] & 0x80) ? ":" : "*:") + payload);
        at += header + n;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(at));
    return frames;
}

}  // namespace tidewire_test
