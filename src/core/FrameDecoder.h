#pragma once

#include <cstdint>

#include "FrameHeader.h"
#include "Limits.h"
#include "tidewire/WebSocketFrame.h"

namespace relaymatrix::extensions::tidewire {

// What the decoder waits for next.
enum class FrameStep : uint8_t { Header, LengthAndKey, Payload, Complete };

// The header rules of the base framing as one step-wise decoder, driven by a reader that
// owns the I/O: it asks bytesNeeded(), reads exactly that many bytes and hands them to the
// apply call of the current step, until step() is Complete; then it handles frame() and
// calls reset() for the next frame.
//
// The decoder takes a declared length as given and checks nothing else about a frame
// (reserved bits, opcodes, control-frame rules are the reader's business). It allocates only
// for payload bytes it is handed, or when the reader asks for room with preparePayload(), so
// the reader must bound frame().payloadLength before the payload step. No I/O, no logging,
// no locks.
class FrameDecoder {
public:
    // Starts a fresh frame record: every field zero, false or empty. The payload vector keeps
    // its capacity up to retainedPayloadCapacity bytes, so small frames reuse one buffer while
    // a large one does not stay pinned. A reader may move frame().payload away before reset.
    void reset();

    FrameStep step() const { return currentStep; }

    // Header: 2. LengthAndKey: extended length bytes + 4 when masked. Payload: payloadLength
    // (never 0). Complete: 0.
    uint64_t bytesNeeded() const;

    // Header step on exactly 2 bytes.
    void applyHeader(const uint8_t* bytes);
    // Length-and-key step on exactly bytesNeeded() bytes.
    void applyLengthAndKey(const uint8_t* bytes);
    // Payload step on exactly payloadLength bytes: copies and unmasks them.
    void applyPayload(const uint8_t* bytes);

    // Payload step in place: sizes the payload to payloadLength and returns its storage for
    // the reader to fill (payloadLength must already be bounded by the reader), then
    // finishPayload() unmasks it and completes the frame.
    uint8_t* preparePayload();
    void finishPayload();

    // Byte 0's reserved bits (reservedBits mask) of the current frame: the record leaves them
    // out, only an agreed extension gives them a meaning.
    uint8_t reserved() const { return reservedBitsSeen; }

    WebSocketFrame& frame() { return record; }
    const WebSocketFrame& frame() const { return record; }

    static constexpr size_t retainedPayloadCapacity = limits::retainedMessageBytes;

private:
    WebSocketFrame record;
    FrameStep currentStep = FrameStep::Header;
    uint8_t reservedBitsSeen = 0;
};

}  // namespace relaymatrix::extensions::tidewire
