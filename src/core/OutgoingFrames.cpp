#include "OutgoingFrames.h"

#include <algorithm>
#include <cstring>

#include "FrameHeader.h"
#include "Masking.h"

namespace relaymatrix::extensions::tidewire {

MessageLayout layoutMessage(size_t size, size_t maxFrameSize, bool masked) {
    const size_t limit = (maxFrameSize == 0 || maxFrameSize > size) ? size : maxFrameSize;
    MessageLayout layout;
    if (size == 0) {
        layout.frames = 1;
        layout.bytes = frameHeaderSize(0, masked);
        return layout;
    }
    const size_t fullFrames = size / limit;
    const size_t remainder = size % limit;
    layout.frames = fullFrames + (remainder != 0 ? 1 : 0);
    layout.bytes = size + fullFrames * frameHeaderSize(limit, masked) +
                   (remainder != 0 ? frameHeaderSize(remainder, masked) : 0);
    return layout;
}

size_t encodeFrame(uint8_t* out, bool fin, uint8_t opcode, const uint8_t* data, size_t size,
                   bool masked) {
    uint8_t key[4];
    if (masked) {
        drawMaskingKey(key);
    }
    const size_t headerSize = encodeFrameHeader(out, fin, opcode, size, masked ? key : nullptr);
    if (size != 0) {
        if (masked) {
            copyWithMask(out + headerSize, data, size, key);
        } else {
            std::memcpy(out + headerSize, data, size);
        }
    }
    return headerSize + size;
}

size_t encodeDetachedFrame(uint8_t* out, uint8_t opcode, uint8_t* payload, size_t size,
                           bool masked) {
    uint8_t key[4];
    if (masked) {
        drawMaskingKey(key);
        applyMask(payload, size, key);
    }
    return encodeFrameHeader(out, true, opcode, size, masked ? key : nullptr);
}

void encodeMessage(uint8_t* out, const uint8_t* data, size_t size, uint8_t opcode,
                   size_t maxFrameSize, bool masked) {
    const size_t limit = (maxFrameSize == 0 || maxFrameSize > size) ? size : maxFrameSize;
    size_t start = 0;
    do {
        const size_t length = std::min(limit, size - start);
        const size_t end = start + length;
        const uint8_t frameOpcode = start == 0 ? opcode : opcodes::Continuation;
        out += encodeFrame(out, end == size, frameOpcode, data + start, length, masked);
        start = end;
    } while (start < size);
}

}  // namespace relaymatrix::extensions::tidewire
