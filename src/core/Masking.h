#pragma once

#include <cstddef>
#include <cstdint>

namespace relaymatrix::extensions::tidewire {

// XORs data[i] with key[(keyOffset + i) & 3] in place, a vector register at a time (AVX2
// when the processor has it). Masking
// twice with the same key restores the bytes. `keyOffset` is the position of data[0] within
// the frame's payload, so a payload may be (un)masked in pieces of any size.
void applyMask(uint8_t* data, size_t size, const uint8_t key[4], size_t keyOffset = 0);

// Same bytes as copying `src` to `dst` and then applying the mask, in one pass. `dst` may
// equal `src`; otherwise the ranges must not overlap.
void copyWithMask(uint8_t* dst, const uint8_t* src, size_t size, const uint8_t key[4],
                  size_t keyOffset = 0);

// Four fresh masking-key bytes from the kernel's random generator, never predictable from
// earlier frames as the protocol requires of a client. Cheap enough per frame: the bytes are
// fetched in blocks per thread. Thread-safe and fork-safe.
void drawMaskingKey(uint8_t key[4]);

}  // namespace relaymatrix::extensions::tidewire
