#pragma once

#include <cstddef>
#include <cstdint>

// Turning one outgoing message into the bytes of its frames. Pure apart from the masking
// keys, which are fresh and unpredictable for every frame.
namespace relaymatrix::extensions::tidewire {

struct MessageLayout {
    size_t frames = 0;  // at least 1: an empty message is one empty final frame
    size_t bytes = 0;   // headers, keys and payload of all frames together
};

// How a message of `size` bytes splits into frames of at most `maxFrameSize` payload bytes.
// A `maxFrameSize` of 0 means no limit (one frame).
MessageLayout layoutMessage(size_t size, size_t maxFrameSize, bool masked);

// Writes one frame of `size` payload bytes into `out` (frameHeaderSize(size, masked) + size
// bytes of room) and returns its size. With `masked`, a fresh key is drawn for it.
size_t encodeFrame(uint8_t* out, bool fin, uint8_t opcode, const uint8_t* data, size_t size,
                   bool masked);

// Writes into `out` (frameHeaderSize(size, masked) bytes of room) the header of one final
// frame whose `size` payload bytes stay where they are; with `masked`, they are masked in
// place with the header's fresh key. Returns the header's size.
size_t encodeDetachedFrame(uint8_t* out, uint8_t opcode, uint8_t* payload, size_t size,
                           bool masked);

// Writes the frames of one message into `out` (layoutMessage(...).bytes of room): the first
// frame carries `opcode`, later ones Continuation, only the last has FIN. With `masked`,
// every frame gets its own fresh key.
void encodeMessage(uint8_t* out, const uint8_t* data, size_t size, uint8_t opcode,
                   size_t maxFrameSize, bool masked);

}  // namespace relaymatrix::extensions::tidewire
