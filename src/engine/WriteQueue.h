#pragma once

#include <algorithm>
#include <asio/buffer.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

// Bytes to be written: grows without zero-filling (every byte is written by the encoder
// before it is read), keeps its capacity when cleared.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(size_t size) { extend(size); }

    uint8_t* data() { return storage.get(); }
    const uint8_t* data() const { return storage.get(); }
    size_t size() const { return used; }
    size_t capacity() const { return allocated; }
    bool empty() const { return used == 0; }
    void clear() { used = 0; }
    void swap(ByteBuffer& other) noexcept {
        std::swap(storage, other.storage);
        std::swap(used, other.used);
        std::swap(allocated, other.allocated);
    }

    // Room for `size` more bytes at the end; valid until the next call.
    uint8_t* extend(size_t size) {
        if (allocated - used < size) {
            const size_t wanted = std::max(used + size, allocated + allocated / 2);
            std::unique_ptr<uint8_t[]> grown(new uint8_t[wanted]);
            if (used != 0) {
                std::memcpy(grown.get(), storage.get(), used);
            }
            storage = std::move(grown);
            allocated = wanted;
        }
        used += size;
        return storage.get() + used - size;
    }

private:
    std::unique_ptr<uint8_t[]> storage;
    size_t used = 0;
    size_t allocated = 0;
};

// Frames handed to one connection, in order, and the batch being written. Everything
// pending when a write starts goes out in one write (one contiguous buffer, or gathered
// around payloads the host handed over to keep), so there is one write in flight and the
// frames of one message are never split by another's. Used on the connection's loop thread
// only.
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
    uint8_t* extend(size_t size) { return pendingBytes.extend(size); }

    // Adds bytes encoded elsewhere, taking the buffer over when nothing else is pending.
    void append(ByteBuffer&& bytes) {
        if (pendingBytes.empty()) {
            pendingBytes.swap(bytes);
        } else if (!bytes.empty()) {
            std::memcpy(pendingBytes.extend(bytes.size()), bytes.data(), bytes.size());
        }
    }

    // Adds a payload written from its own storage, after the bytes added so far.
    void attach(std::vector<uint8_t>&& payload) {
        pendingAttachedBytes += payload.size();
        pendingAttachments.push_back(Attachment{pendingBytes.size(), std::move(payload)});
    }

    // Records the message whose bytes were just added.
    void addEntry(uint8_t opcode, Kind kind, size_t frames) {
        pendingEntries.push_back(Entry{opcode, kind, frames});
    }

    bool hasPending() const { return !pendingEntries.empty(); }
    // Bytes not yet in a write.
    size_t pendingSize() const { return pendingBytes.size() + pendingAttachedBytes; }
    bool writing() const { return inFlight; }

    // Makes everything pending the batch in flight, its bytes in `buffers` in write order;
    // they stay put until endBatch().
    void beginBatch(std::vector<asio::const_buffer>& buffers) {
        batchBytes.swap(pendingBytes);
        batchEntries.swap(pendingEntries);
        batchAttachments.swap(pendingAttachments);
        pendingAttachedBytes = 0;
        inFlight = true;
        buffers.clear();
        size_t from = 0;
        for (const Attachment& attachment : batchAttachments) {
            if (attachment.offset != from) {
                buffers.emplace_back(batchBytes.data() + from, attachment.offset - from);
            }
            buffers.emplace_back(attachment.payload.data(), attachment.payload.size());
            from = attachment.offset;
        }
        if (batchBytes.size() != from || buffers.empty()) {
            buffers.emplace_back(batchBytes.data() + from, batchBytes.size() - from);
        }
    }

    const std::vector<Entry>& batch() const { return batchEntries; }

    // The batch has been written (or has failed); its storage is kept for reuse unless large.
    // The largest attached payload is kept as spent() for the connection to read into again.
    void endBatch() {
        inFlight = false;
        batchEntries.clear();
        for (Attachment& attachment : batchAttachments) {
            if (attachment.payload.capacity() > spentStorage.capacity()) {
                spentStorage.swap(attachment.payload);
            }
        }
        batchAttachments.clear();
        if (batchBytes.capacity() > limits::retainedMessageBytes) {
            ByteBuffer().swap(batchBytes);
        } else {
            batchBytes.clear();
        }
    }

    // An attached payload done with, or empty.
    std::vector<uint8_t> takeSpent() { return std::move(spentStorage); }

    // Forgets everything not yet handed to the stream.
    void dropPending() {
        pendingEntries.clear();
        pendingAttachments.clear();
        pendingAttachedBytes = 0;
        ByteBuffer().swap(pendingBytes);
    }

    // Capacity kept for later messages, and giving back what no write needs now.
    size_t retainedBytes() const { return pendingBytes.capacity() + batchBytes.capacity(); }
    void releaseStorage() {
        if (pendingBytes.empty()) {
            ByteBuffer().swap(pendingBytes);
        }
        if (!inFlight) {
            ByteBuffer().swap(batchBytes);
        }
    }

private:
    // A payload written after the first `offset` bytes of its ByteBuffer.
    struct Attachment {
        size_t offset;
        std::vector<uint8_t> payload;
    };

    ByteBuffer pendingBytes;
    std::vector<Entry> pendingEntries;
    std::vector<Attachment> pendingAttachments;
    size_t pendingAttachedBytes = 0;
    ByteBuffer batchBytes;  // owned by the write in flight, like the two below
    std::vector<Entry> batchEntries;
    std::vector<Attachment> batchAttachments;
    std::vector<uint8_t> spentStorage;
    bool inFlight = false;
};

}  // namespace relaymatrix::extensions::tidewire
