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

void encodeMessage(uint8_t* out, const uint8_t* data, size_t size, uint8_t opcode,
                   size_t maxFrameSize, bool masked) {
    const size_t limit = (maxFrameSize == 0 || maxFrameSize > size) ? size : maxFrameSize;
    size_t start = 0;
    do {
        const size_t length = std::min(limit, size - start);
        const size_t end = start + length;
        const uint8_t frameOpcode = start == 0 ? opcode : opcodes::Continuation;
        uint8_t key[4];
        if (masked) {
            drawMaskingKey(key);
        }
        out += encodeFrameHeader(out, end == size, frameOpcode, length, masked ? key : nullptr);
        if (length != 0) {
            if (masked) {
                copyWithMask(out, data + start, length, key);
            } else {
                std::memcpy(out, data + start, length);
            }
        }
        out += length;
        start = end;
    } while (start < size);
}

}  // namespace relaymatrix::extensions::tidewire
