#include "tidewire/WebSocketFrame.h"

#include <sstream>

#include "FrameHeader.h"
#include "Masking.h"

namespace relaymatrix::extensions::tidewire {

std::vector<uint8_t> WebSocketFrame::build(std::vector<uint8_t> payload, bool fin, uint8_t opcode,
                                           bool mask) {
    uint8_t key[4];
    if (mask) {
        drawMaskingKey(key);
    }
    uint8_t header[maxFrameHeaderSize];
    const size_t headerSize =
        encodeFrameHeader(header, fin, opcode, payload.size(), mask ? key : nullptr);

    std::vector<uint8_t> frame;
    frame.reserve(headerSize + payload.size());
    frame.insert(frame.end(), header, header + headerSize);
    if (mask) {
        // The payload is our own copy: mask it where it is, then one copy into the frame.
        applyMask(payload.data(), payload.size(), key);
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::string WebSocketFrame::toString() const {
    std::ostringstream out;
    out << "WebSocketFrame{fin=" << fin << ", opcode=0x" << std::hex
        << static_cast<unsigned>(opcode) << std::dec << ", masked=" << masked
        << ", payload length=" << payloadLength
        << ", extended payload length bytes=" << extendedPayloadLengthBytes
        << ", payload size=" << payload.size() << ", frame complete=" << frameComplete << "}";
    return out.str();
}

std::string WebSocketFrame::opcodeName(uint8_t opcode) {
    switch (opcode) {
        case opcodes::Continuation:
            return "Continuation";
        case opcodes::Text:
            return "Text";
        case opcodes::Binary:
            return "Binary";
        case opcodes::Close:
            return "Close";
        case opcodes::Ping:
            return "Ping";
        case opcodes::Pong:
            return "Pong";
        default:
            return "Unknown";
    }
}

}  // namespace relaymatrix::extensions::tidewire
