#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

// Frames handed to one connection, in order, and the batch being written. Everything
// pending when a write starts goes out as one contiguous buffer, so there is one write in
// flight and the frames of one message are never split by another's. Used on the
// connection's loop thread only.
class WriteQueue {
public:
    enum class Kind : uint8_t {
        Message,       // a message, ping, pong or close
        FailureClose,  // the Close sent just before failing the connection
    };

    // One message handed over: its frames follow each other in the byte stream.
    struct Entry {
        uint8_t opcode;  // the message's opcode, named in the per-frame log lines
        Kind kind;
        size_t frames;
    };

    // Room for `size` more bytes at the end of the pending bytes; valid until the next call.
    uint8_t* extend(size_t size) {
        const size_t offset = pendingBytes.size();
        pendingBytes.resize(offset + size);
        return pendingBytes.data() + offset;
    }

    // Adds bytes encoded elsewhere, taking the buffer over when nothing else is pending.
    void append(std::vector<uint8_t>&& bytes) {
        if (pendingBytes.empty()) {
            pendingBytes.swap(bytes);
        } else {
            pendingBytes.insert(pendingBytes.end(), bytes.begin(), bytes.end());
        }
    }

    // Records the message whose bytes were just added.
    void addEntry(uint8_t opcode, Kind kind, size_t frames) {
        pendingEntries.push_back(Entry{opcode, kind, frames});
    }

    bool hasPending() const { return !pendingEntries.empty(); }
    size_t pendingSize() const { return pendingBytes.size(); }  // bytes not yet in a write
    bool writing() const { return inFlight; }

    // Makes everything pending the batch in flight; its bytes stay put until endBatch().
    std::pair<const uint8_t*, size_t> beginBatch() {
        batchBytes.swap(pendingBytes);
        batchEntries.swap(pendingEntries);
        inFlight = true;
        return {batchBytes.data(), batchBytes.size()};
    }

    const std::vector<Entry>& batch() const { return batchEntries; }

    // The batch has been written (or has failed); its storage is kept for reuse unless large.
    void endBatch() {
        inFlight = false;
        batchEntries.clear();
        if (batchBytes.capacity() > limits::retainedWriteBufferBytes) {
            std::vector<uint8_t>().swap(batchBytes);
        } else {
            batchBytes.clear();
        }
    }

    // Forgets everything not yet handed to the stream.
    void dropPending() {
        pendingEntries.clear();
        std::vector<uint8_t>().swap(pendingBytes);
    }

private:
    std::vector<uint8_t> pendingBytes;
    std::vector<Entry> pendingEntries;
    std::vector<uint8_t> batchBytes;  // owned by the write in flight
    std::vector<Entry> batchEntries;
    bool inFlight = false;
};

}  // namespace relaymatrix::extensions::tidewire
