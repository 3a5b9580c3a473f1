#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace relaymatrix::extensions::tidewire {

namespace masking {

// The key bytes for positions keyOffset to keyOffset + 3, as a word in memory order.
inline uint32_t rotatedKey(const uint8_t key[4], size_t keyOffset) {
    uint32_t word;
    std::memcpy(&word, key, 4);
    const unsigned shift = static_cast<unsigned>(keyOffset & 3) * 8;
    if (shift == 0) {
        return word;
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return (word >> shift) | (word << (32 - shift));
#else
    return (word << shift) | (word >> (32 - shift));
#endif
}

// Below a few AVX2 blocks: 16-byte vectors (SSE2 on every x86-64), then one 8-byte word,
// then single bytes.
typedef uint32_t Half __attribute__((vector_size(16)));

inline void maskTail(uint8_t* dst, const uint8_t* src, size_t size, uint32_t pattern) {
    const Half half = {pattern, pattern, pattern, pattern};
    size_t i = 0;
    for (; i + sizeof half <= size; i += sizeof half) {
        Half x;
        std::memcpy(&x, src + i, sizeof x);
        x ^= half;
        std::memcpy(dst + i, &x, sizeof x);
    }
    const uint64_t word = (uint64_t{pattern} << 32) | pattern;
    if (i + sizeof word <= size) {
        uint64_t x;
        std::memcpy(&x, src + i, sizeof x);
        x ^= word;
        std::memcpy(dst + i, &x, sizeof x);
        i += sizeof word;
    }
    uint8_t bytes[4];
    std::memcpy(bytes, &pattern, 4);
    for (; i < size; ++i) {
        dst[i] = src[i] ^ bytes[i & 3];
    }
}

// Above a few blocks: whole vector registers (AVX2 when the processor has it), then the tail.
void maskBlocksThenTail(uint8_t* dst, const uint8_t* src, size_t size, uint32_t pattern);

}  // namespace masking

// XORs data[i] with key[(keyOffset + i) & 3] in place, a vector register at a time (AVX2
// when the processor has it). Masking twice with the same key restores the bytes. `keyOffset` is
// the position of data[0] within the frame's payload, so a payload may be (un)masked in pieces of
// any size.
inline void copyWithMask(uint8_t* dst, const uint8_t* src, size_t size, const uint8_t key[4],
                         size_t keyOffset = 0);
inline void applyMask(uint8_t* data, size_t size, const uint8_t key[4], size_t keyOffset = 0) {
    copyWithMask(data, data, size, key, keyOffset);
}

// Same bytes as copying `src` to `dst` and then applying the mask, in one pass. `dst` may
// equal `src`; otherwise the ranges must not overlap. Short payloads, the common case, are
// masked inline. Also serves applyMask with dst == src: every vector is loaded before it is
// stored.
inline void copyWithMask(uint8_t* dst, const uint8_t* src, size_t size, const uint8_t key[4],
                         size_t keyOffset) {
    const uint32_t pattern = masking::rotatedKey(key, keyOffset);
    if (size < 128) {
        masking::maskTail(dst, src, size, pattern);
    } else {
        masking::maskBlocksThenTail(dst, src, size, pattern);
    }
}

// Four fresh masking-key bytes from the kernel's random generator, never predictable from
// earlier frames as the protocol requires of a client. Cheap enough per frame: the bytes are
// fetched in blocks per thread. Thread-safe and fork-safe.
void drawMaskingKey(uint8_t key[4]);

}  // namespace relaymatrix::extensions::tidewire
