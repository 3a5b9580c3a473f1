#pragma once

#include <cstdint>
#include <vector>

#include "tidewire/WebSocketFrame.h"

namespace relaymatrix::extensions::tidewire {

// Turns complete data frames into messages: an unfragmented frame is a message of its own,
// a non-final Text or Binary begins one that Continuation frames extend, and the first final
// data frame after it (whatever its opcode) ends it. Also bounds a message before any of a
// frame's payload is buffered. No I/O; one per connection, on its loop thread.
class MessageAssembler {
public:
    enum class Outcome { Partial, Complete, Unexpected };

    // Called once a frame's payload length is known: false when the frame, or the message it
    // would extend, exceeds `limit` bytes.
    bool admits(const WebSocketFrame& frame, uint64_t limit) const;

    // Bytes of the message being assembled that `frame` would extend; 0 when it begins one.
    size_t assembledBytes(const WebSocketFrame& frame) const;

    // Takes a complete data frame. Complete: message() and isText() describe the message
    // (the frame's own payload when it was not fragmented) until finish() is called.
    // Unexpected: a Continuation with no message begun, or a non-final frame of another
    // opcode.
    Outcome add(WebSocketFrame& frame);
    // The host may take the message away (move from it) before finish().
    std::vector<uint8_t>& message() { return *complete; }
    bool isText() const { return completeIsText; }
    // The delivered message is done with; reassembly storage is kept for the next one
    // unless it grew large.
    void finish();

    // Capacity kept for the next message, and giving it back (not while one is assembled).
    size_t retainedBytes() const { return fragments.capacity(); }
    void releaseStorage();

private:
    std::vector<uint8_t> fragments;  // the message being reassembled
    bool assembling = false;
    bool fragmentsAreText = false;  // opcode of the frame that began the message was Text
    std::vector<uint8_t>* complete = nullptr;
    bool completeIsText = false;
};

}  // namespace relaymatrix::extensions::tidewire
