#include "tidewire/WebSocketFrame.h"

#include <charconv>

#include "FrameHeader.h"
#include "OutgoingFrames.h"

namespace relaymatrix::extensions::tidewire {

// The engine's own frame encoder, so what a host builds is byte for byte what we send.
std::vector<uint8_t> WebSocketFrame::build(std::vector<uint8_t> payload, bool fin, uint8_t opcode,
                                           bool mask) {
    std::vector<uint8_t> frame(frameHeaderSize(payload.size(), mask) + payload.size());
    encodeFrame(frame.data(), fin, opcode, payload.data(), payload.size(), mask);
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
