#include "Masking.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace relaymatrix::extensions::tidewire {

namespace {

// GCC/Clang vector types: two SSE2 registers, or one AVX2 register in maskAvx2. Loads and
// stores go through memcpy, so any alignment of the data is fine.
typedef uint32_t Block __attribute__((vector_size(32)));
constexpr size_t blockSize = sizeof(Block);

// `pattern` holds the four key bytes for positions 0 to 3 of `src` in memory order. Blocks
// and words start at multiples of 4, where the pattern starts over.
__attribute__((always_inline)) inline void maskRange(uint8_t* dst, const uint8_t* src, size_t size,
                                                     uint32_t pattern) {
    const Block key = {pattern, pattern, pattern, pattern, pattern, pattern, pattern, pattern};
    size_t i = 0;
    for (; i + 4 * blockSize <= size; i += 4 * blockSize) {
        Block a, b, c, d;
        std::memcpy(&a, src + i, blockSize);
        std::memcpy(&b, src + i + blockSize, blockSize);
        std::memcpy(&c, src + i + 2 * blockSize, blockSize);
        std::memcpy(&d, src + i + 3 * blockSize, blockSize);
        a ^= key;
        b ^= key;
        c ^= key;
        d ^= key;
        std::memcpy(dst + i, &a, blockSize);
        std::memcpy(dst + i + blockSize, &b, blockSize);
        std::memcpy(dst + i + 2 * blockSize, &c, blockSize);
        std::memcpy(dst + i + 3 * blockSize, &d, blockSize);
    }
    for (; i + blockSize <= size; i += blockSize) {
        Block a;
        std::memcpy(&a, src + i, blockSize);
        a ^= key;
        std::memcpy(dst + i, &a, blockSize);
    }
}

using MaskFunction = void (*)(uint8_t*, const uint8_t*, size_t, uint32_t);

void maskGeneric(uint8_t* dst, const uint8_t* src, size_t size, uint32_t pattern) {
    maskRange(dst, src, size, pattern);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void maskAvx2(uint8_t* dst, const uint8_t* src, size_t size,
                                              uint32_t pattern) {
    maskRange(dst, src, size, pattern);
}
#endif

MaskFunction chooseMaskFunction() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return maskAvx2;
    }
#endif
    return maskGeneric;
}

// Chosen once at load; nothing masks during static initialisation.
const MaskFunction maskBlocks = chooseMaskFunction();

// Keys come from the kernel's generator in blocks, each key used once: a getrandom call per
// frame would cost more than masking a few kilobytes. A fork bumps the generation so that a
// child never reuses the bytes its parent still holds.
std::atomic<unsigned> forkGeneration{0};

void afterForkInChild() {
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

struct KeyPool {
    uint8_t bytes[1024];
    size_t used = sizeof bytes;
    unsigned generation = 0;
};

void fillRandom(uint8_t* out, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled < size) {
        std::random_device device;
        for (; filled < size; ++filled) {
            out[filled] = static_cast<uint8_t>(device() & 0xFF);
        }
    }
}

}  // namespace

void masking::maskBlocksThenTail(uint8_t* dst, const uint8_t* src, size_t size, uint32_t pattern) {
    const size_t blocks = size & ~(blockSize - 1);
    maskBlocks(dst, src, blocks, pattern);
    maskTail(dst + blocks, src + blocks, size - blocks, pattern);
}

void drawMaskingKey(uint8_t key[4]) {
    static const bool forkHandled = pthread_atfork(nullptr, nullptr, afterForkInChild) == 0;
    (void)forkHandled;
    thread_local KeyPool pool;
    const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
    if (pool.used + 4 > sizeof pool.bytes || pool.generation != generation) {
        fillRandom(pool.bytes, sizeof pool.bytes);
        pool.used = 0;
        pool.generation = generation;
    }
    std::memcpy(key, pool.bytes + pool.used, 4);
    pool.used += 4;
}

}  // namespace relaymatrix::extensions::tidewire
