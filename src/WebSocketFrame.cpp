#include "tidewire/WebSocketFrame.h"

#include <charconv>

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

namespace {

void appendNumber(std::string& out, uint64_t value, int base = 10) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
    out.append(digits, result.ptr);
}

}  // namespace

// Runs for every frame a reader takes in (three trace lines), so it avoids streams.
std::string WebSocketFrame::toString() const {
    std::string out;
    out.reserve(160);
    out += "WebSocketFrame{fin=";
    out += fin ? '1' : '0';
    out += ", opcode=0x";
    appendNumber(out, opcode, 16);
    out += ", masked=";
    out += masked ? '1' : '0';
    out += ", payload length=";
    appendNumber(out, payloadLength);
    out += ", extended payload length bytes=";
    appendNumber(out, extendedPayloadLengthBytes);
    out += ", payload size=";
    appendNumber(out, payload.size());
    out += ", frame complete=";
    out += frameComplete ? '1' : '0';
    out += '}';
    return out;
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
