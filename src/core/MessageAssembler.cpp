#include "MessageAssembler.h"

#include "FrameDecoder.h"
#include "FrameHeader.h"

namespace relaymatrix::extensions::tidewire {

namespace {
bool isControl(uint8_t opcode) {
    return opcode == opcodes::Close || opcode == opcodes::Ping || opcode == opcodes::Pong;
}
}  // namespace

size_t MessageAssembler::assembledBytes(const WebSocketFrame& frame) const {
    // Only a non-final Text or Binary starts afresh while a message is being assembled.
    const bool extends = assembling && !isControl(frame.opcode) &&
                         (frame.fin || frame.opcode == opcodes::Continuation);
    return extends ? fragments.size() : 0;
}

bool MessageAssembler::admits(const WebSocketFrame& frame, uint64_t limit) const {
    const uint64_t assembled = assembledBytes(frame);
    return frame.payloadLength <= limit && assembled <= limit - frame.payloadLength;
}

MessageAssembler::Outcome MessageAssembler::add(WebSocketFrame& frame) {
    if (!frame.fin) {
        if (frame.opcode == opcodes::Text || frame.opcode == opcodes::Binary) {
            assembling = true;
            fragmentsAreText = frame.opcode == opcodes::Text;
            fragments.swap(frame.payload);  // the old storage is dropped with the frame
            return Outcome::Partial;
        }
        if (frame.opcode == opcodes::Continuation && assembling) {
            fragments.insert(fragments.end(), frame.payload.begin(), frame.payload.end());
            return Outcome::Partial;
        }
        return Outcome::Unexpected;
    }
    if (assembling) {
        fragments.insert(fragments.end(), frame.payload.begin(), frame.payload.end());
        assembling = false;
        complete = &fragments;
        completeIsText = fragmentsAreText;
        return Outcome::Complete;
    }
    complete = &frame.payload;
    completeIsText = frame.opcode == opcodes::Text;
    return Outcome::Complete;
}

void MessageAssembler::finish() {
    if (complete == &fragments) {
        if (fragments.capacity() > FrameDecoder::retainedPayloadCapacity) {
            std::vector<uint8_t>().swap(fragments);
        } else {
            fragments.clear();
        }
    }
    complete = nullptr;
}

void MessageAssembler::releaseStorage() {
    if (!assembling && complete == nullptr) {
        std::vector<uint8_t>().swap(fragments);
    }
}

}  // namespace relaymatrix::extensions::tidewire
