#pragma once

#include <cstddef>
#include <cstdint>

namespace relaymatrix::extensions::tidewire {

// Opcodes of the base framing.
namespace opcodes {
constexpr uint8_t Continuation = 0x0;
constexpr uint8_t Text = 0x1;
constexpr uint8_t Binary = 0x2;
constexpr uint8_t Close = 0x8;
constexpr uint8_t Ping = 0x9;
constexpr uint8_t Pong = 0xA;
}  // namespace opcodes

// RSV1 in byte 0: set on the first frame of a compressed message (permessage-deflate).
constexpr uint8_t compressedBit = 0x40;
// All three reserved bits of byte 0.
constexpr uint8_t reservedBits = 0x70;

// The longest frame header: 2 bytes, an 8-byte extended length and a 4-byte masking key.
constexpr size_t maxFrameHeaderSize = 14;

// Header bytes (key included) of a frame with `payloadSize` payload bytes: 2 to 14.
size_t frameHeaderSize(uint64_t payloadSize, bool masked);

// Writes the header of one frame into `out` (room for maxFrameHeaderSize bytes) and returns
// its size. Byte 0 takes FIN and the low four bits of `opcode`; the shortest length form is
// used; with a non-null `maskKeyOrNull` the MASK bit is set and its four bytes follow.
size_t encodeFrameHeader(uint8_t* out, bool fin, uint8_t opcode, uint64_t payloadSize,
                         const uint8_t* maskKeyOrNull);

}  // namespace relaymatrix::extensions::tidewire
