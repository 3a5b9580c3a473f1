#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace relaymatrix::extensions::tidewire {

// One WebSocket frame (RFC 6455 base framing), as a reader fills it in step by step and as
// the trace lines show it. A plain record: the frame decoder owns the rules that fill it.
struct WebSocketFrame {
    bool frameComplete = false;  // the whole payload is known (and unmasked)
    bool fin = false;
    uint8_t opcode = 0;  // 0..15
    bool masked = false;
    std::array<uint8_t, 4> maskingKey{};  // wire order
    // First the 7-bit length code of byte 1, then the extended length once it is read.
    uint64_t payloadLength = 0;
    uint64_t extendedPayloadLengthBytes = 0;  // 0, 2 or 8
    std::vector<uint8_t> payload;             // already unmasked

    // The complete bytes of one frame. Only the low four bits of `opcode` are used; the
    // reserved bits are written as 0. With `mask` a fresh random key is drawn for the frame
    // (also for an empty payload). Allocates the result once.
    static std::vector<uint8_t> build(std::vector<uint8_t> payload, bool fin, uint8_t opcode,
                                      bool mask);

    // "WebSocketFrame{fin=1, opcode=0x1, masked=0, payload length=5, ...}".
    std::string toString() const;

    // "Continuation", "Text", "Binary", "Close", "Ping", "Pong" or "Unknown".
    static std::string opcodeName(uint8_t opcode);
};

}  // namespace relaymatrix::extensions::tidewire
