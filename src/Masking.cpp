#include "Masking.h"

#include <cstring>
#include <random>

namespace relaymatrix::extensions::tidewire {

namespace {

// GCC/Clang vector type: SSE2 on x86-64, NEON elsewhere, plain words as a last resort.
// Loads and stores go through memcpy, so any alignment of the data is fine.
typedef uint8_t Block __attribute__((vector_size(16)));
constexpr size_t blockSize = sizeof(Block);

// pattern[j] is the key byte for payload position keyOffset + j; a 16-byte period keeps it
// valid at every block boundary, since blocks start at multiples of 4.
struct KeyPattern {
    KeyPattern(const uint8_t key[4], size_t keyOffset) {
        uint8_t bytes[blockSize];
        for (size_t j = 0; j < blockSize; ++j) {
            bytes[j] = key[(keyOffset + j) & 3];
        }
        std::memcpy(&block, bytes, blockSize);
        std::memcpy(word, bytes, 4);
    }
    Block block;
    uint8_t word[4];
};

inline Block load(const uint8_t* p) {
    Block b;
    std::memcpy(&b, p, blockSize);
    return b;
}

inline void store(uint8_t* p, Block b) {
    std::memcpy(p, &b, blockSize);
}

}  // namespace

void applyMask(uint8_t* data, size_t size, const uint8_t key[4], size_t keyOffset) {
    copyWithMask(data, data, size, key, keyOffset);
}

// Also serves applyMask with dst == src: each block is loaded before it is stored.
void copyWithMask(uint8_t* dst, const uint8_t* src, size_t size, const uint8_t key[4],
                  size_t keyOffset) {
    const KeyPattern pattern(key, keyOffset);
    size_t i = 0;
    for (; i + 4 * blockSize <= size; i += 4 * blockSize) {
        const Block a = load(src + i);
        const Block b = load(src + i + blockSize);
        const Block c = load(src + i + 2 * blockSize);
        const Block d = load(src + i + 3 * blockSize);
        store(dst + i, a ^ pattern.block);
        store(dst + i + blockSize, b ^ pattern.block);
        store(dst + i + 2 * blockSize, c ^ pattern.block);
        store(dst + i + 3 * blockSize, d ^ pattern.block);
    }
    for (; i + blockSize <= size; i += blockSize) {
        store(dst + i, load(src + i) ^ pattern.block);
    }
    for (; i < size; ++i) {
        dst[i] = src[i] ^ pattern.word[i & 3];
    }
}

void drawMaskingKey(uint8_t key[4]) {
    std::random_device device;
    for (int i = 0; i < 4; ++i) {
        key[i] = static_cast<uint8_t>(device() & 0xFF);
    }
}

}  // namespace relaymatrix::extensions::tidewire
