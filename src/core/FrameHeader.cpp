#include "FrameHeader.h"

#include <cstring>

namespace relaymatrix::extensions::tidewire {

namespace {

size_t extendedLengthBytes(uint64_t payloadSize) {
    if (payloadSize < 126) {
        return 0;
    }
    return payloadSize <= 0xFFFF ? 2 : 8;
}

}  // namespace

size_t frameHeaderSize(uint64_t payloadSize, bool masked) {
    return 2 + extendedLengthBytes(payloadSize) + (masked ? 4 : 0);
}

size_t encodeFrameHeader(uint8_t* out, bool fin, uint8_t opcode, uint64_t payloadSize,
                         const uint8_t* maskKeyOrNull) {
    const uint8_t maskBit = maskKeyOrNull != nullptr ? 0x80 : 0x00;
    out[0] = static_cast<uint8_t>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
    size_t size = 2;
    switch (extendedLengthBytes(payloadSize)) {
        case 0:
            out[1] = static_cast<uint8_t>(payloadSize | maskBit);
            break;
        case 2:
            out[1] = static_cast<uint8_t>(126 | maskBit);
            out[2] = static_cast<uint8_t>(payloadSize >> 8);
            out[3] = static_cast<uint8_t>(payloadSize);
            size = 4;
            break;
        default:
            out[1] = static_cast<uint8_t>(127 | maskBit);
            for (int i = 0; i < 8; ++i) {
                out[2 + i] = static_cast<uint8_t>(payloadSize >> (56 - 8 * i));
            }
            size = 10;
            break;
    }
    if (maskKeyOrNull != nullptr) {
        std::memcpy(out + size, maskKeyOrNull, 4);
        size += 4;
    }
    return size;
}

}  // namespace relaymatrix::extensions::tidewire
