#pragma once

#include <algorithm>
#include <asio/buffer.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/FrameHeader.h"
#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

// Bytes to be written: grows without zero-filling (every byte is written by the encoder
// before it is read), keeps its capacity when cleared.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(size_t size) { extend(size); }
    ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        ByteBuffer(std::move(other)).swap(*this);
        return *this;
    }

    uint8_t* data() { return storage.get(); }
    const uint8_t* data() const { return storage.get(); }
    size_t size() const { return used; }
    size_t capacity() const { return allocated; }
    bool empty() const { return used == 0; }
    void clear() { used = 0; }
    // Forgets the bytes past the first `size`.
    void truncate(size_t size) { used = std::min(used, size); }
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
// pending when a write starts goes out in one gathered write, so there is one write in flight
// and the frames of one message are never split by another's. Used on the connection's loop
// thread only.
//
// Queued bytes never move: small messages fill fixed-size chunks one after another, a larger
// one (or one encoded on another thread) keeps storage of its own size, a payload handed over
// is written from its own storage. A peer that does not read thus costs about the bytes queued,
// not a growing buffer and its copy. Storage done with is kept for reuse, within bounds.
class WriteQueue {
public:
    enum class Kind : uint8_t {
        Message,       // a message, ping, pong or close
        FailureClose,  // the Close sent just before failing the connection
    };

    // Messages handed over one after another: their frames follow each other in the byte
    // stream. Alike messages share one entry, so a long queue of small ones costs no more.
    struct Entry {
        uint8_t opcode;  // the messages' opcode, named in the per-frame log lines
        Kind kind;
        size_t frames;
    };

    // Room for `size` more bytes at the end of the pending bytes; valid until the next call.
    uint8_t* extend(size_t size) {
        pendingBytes += size;
        if (size < limits::ownWriteBufferMinBytes) {
            return extendChunk(size);
        }
        ByteBuffer& own = largeParts().pendingOwned.emplace_back(takeStorage(size, 2 * size));
        return addOwned(own.extend(size), size);
    }

    // Adds bytes encoded elsewhere: the buffer is taken over, or copied into a chunk if small.
    void append(ByteBuffer&& bytes) {
        if (bytes.size() < limits::adoptedWriteBufferMinBytes) {
            if (!bytes.empty()) {
                pendingBytes += bytes.size();
                std::memcpy(extendChunk(bytes.size()), bytes.data(), bytes.size());
            }
            return;
        }
        pendingBytes += bytes.size();
        storedBytes += bytes.capacity();
        addOwned(bytes.data(), bytes.size());
        largeParts().pendingOwned.push_back(std::move(bytes));
    }

    // Adds a payload written from its own storage, after the bytes added so far.
    void attach(std::vector<uint8_t>&& payload) {
        pendingBytes += payload.size();
        addOwned(payload.data(), payload.size());
        largeParts().pendingAttachments.push_back(std::move(payload));
    }

    // Records the message whose bytes were just added.
    void addEntry(uint8_t opcode, Kind kind, size_t frames) {
        // Each Close and each failure's Close stays an entry of its own: its write ends or
        // changes the connection.
        if (!pendingEntries.empty() && kind == Kind::Message && opcode != opcodes::Close &&
            pendingEntries.back().kind == kind && pendingEntries.back().opcode == opcode) {
            pendingEntries.back().frames += frames;
            return;
        }
        pendingEntries.push_back(Entry{opcode, kind, frames});
    }

    bool hasPending() const { return !pendingEntries.empty(); }
    // Bytes not yet in a write.
    size_t pendingSize() const { return pendingBytes; }
    bool writing() const { return inFlight; }

    // Makes everything pending the batch in flight, its bytes in `buffers` in write order;
    // they stay put until endBatch().
    void beginBatch(std::vector<asio::const_buffer>& buffers) {
        buffers.swap(pendingBuffers);
        pendingBuffers.clear();
        if (buffers.empty()) {
            buffers.emplace_back();
        }
        batchEntries.swap(pendingEntries);
        if (large) {
            large->batchOwned.swap(large->pendingOwned);
            large->batchAttachments.swap(large->pendingAttachments);
        }
        pendingBytes = 0;
        pendingInTail = false;
        batchChunks = chunks.size();
        batchTailUsed = chunks.empty() ? 0 : chunks.back().size();
        inFlight = true;
    }

    const std::vector<Entry>& batch() const { return batchEntries; }

    // The batch has been written (or has failed); its storage is kept for reuse within bounds.
    // The largest attached payload is kept as spent() for the connection to read into again.
    void endBatch() {
        inFlight = false;
        batchEntries.clear();
        if (large) {
            for (std::vector<uint8_t>& payload : large->batchAttachments) {
                if (payload.capacity() > large->spentStorage.capacity()) {
                    large->spentStorage.swap(payload);
                }
            }
            large->batchAttachments.clear();
            for (ByteBuffer& own : large->batchOwned) {
                recycle(std::move(own));
            }
            large->batchOwned.clear();
        }
        // The batch's last chunk may hold pending bytes after its own: it goes with the next.
        size_t done = batchChunks;
        if (done != 0 && chunks[done - 1].size() != batchTailUsed) {
            --done;
        }
        for (size_t i = 0; i < done; ++i) {
            recycle(std::move(chunks[i]));
        }
        chunks.erase(chunks.begin(), chunks.begin() + done);
        batchChunks = 0;
    }

    // An attached payload done with, or empty.
    std::vector<uint8_t> takeSpent() {
        return large ? std::move(large->spentStorage) : std::vector<uint8_t>();
    }

    // Forgets everything not yet handed to the stream.
    void dropPending() {
        pendingEntries.clear();
        if (large) {
            large->pendingAttachments.clear();
            for (const ByteBuffer& own : large->pendingOwned) {
                storedBytes -= own.capacity();
            }
            large->pendingOwned.clear();
        }
        pendingBuffers.clear();
        pendingBytes = 0;
        pendingInTail = false;
        const size_t kept = inFlight ? batchChunks : 0;
        freeChunksFrom(kept);
        if (kept != 0) {
            chunks.back().truncate(batchTailUsed);
        }
    }

    // Capacity kept for later messages, and giving back what no write needs now.
    size_t retainedBytes() const { return storedBytes; }
    void releaseStorage() {
        for (const ByteBuffer& spare : spares) {
            storedBytes -= spare.capacity();
        }
        std::vector<ByteBuffer>().swap(spares);
        spareBytes = 0;
        if (!inFlight && pendingBuffers.empty()) {
            freeChunksFrom(0);
            std::vector<ByteBuffer>().swap(chunks);
        }
    }

private:
    // Room at the end of the last chunk, or in a new one.
    uint8_t* extendChunk(size_t size) {
        if (chunks.empty() || chunks.back().capacity() - chunks.back().size() < size) {
            // A burst goes on in full-size chunks; a connection's first stays small.
            const size_t wanted =
                chunks.empty() ? limits::firstWriteChunkBytes : limits::writeChunkBytes;
            chunks.push_back(takeStorage(wanted, SIZE_MAX));
            pendingInTail = false;
        }
        uint8_t* at = chunks.back().extend(size);
        if (pendingInTail) {
            asio::const_buffer& last = pendingBuffers.back();
            last = asio::const_buffer(last.data(), last.size() + size);
        } else {
            pendingBuffers.emplace_back(at, size);
            pendingInTail = true;
        }
        return at;
    }

    uint8_t* addOwned(uint8_t* at, size_t size) {
        pendingBuffers.emplace_back(at, size);
        pendingInTail = false;
        return at;
    }

    // Empty storage of at least `least` bytes: the smallest spare up to `most`, or a new one.
    ByteBuffer takeStorage(size_t least, size_t most) {
        auto best = spares.end();
        for (auto spare = spares.begin(); spare != spares.end(); ++spare) {
            const size_t capacity = spare->capacity();
            if (capacity >= least && capacity <= most &&
                (best == spares.end() || capacity < best->capacity())) {
                best = spare;
            }
        }
        if (best == spares.end()) {
            storedBytes += least;
            ByteBuffer fresh(least);
            fresh.clear();
            return fresh;
        }
        ByteBuffer taken = std::move(*best);
        spares.erase(best);
        spareBytes -= taken.capacity();
        taken.clear();
        return taken;
    }

    void recycle(ByteBuffer&& done) {
        if (spares.size() < limits::spareWriteBuffers &&
            spareBytes + done.capacity() <= limits::retainedMessageBytes) {
            spareBytes += done.capacity();
            spares.push_back(std::move(done));
        } else {
            storedBytes -= done.capacity();
            ByteBuffer().swap(done);
        }
    }

    void freeChunksFrom(size_t first) {
        for (size_t i = first; i < chunks.size(); ++i) {
            storedBytes -= chunks[i].capacity();
        }
        chunks.erase(chunks.begin() + first, chunks.end());
    }

    // Pending: in write order, the bytes not yet in a write and what owns them.
    std::vector<asio::const_buffer> pendingBuffers;
    std::vector<Entry> pendingEntries;
    size_t pendingBytes = 0;
    bool pendingInTail = false;  // the last pending buffer ends where the last chunk does
    // Chunks in write order, the last one being filled; the batch's are the first batchChunks.
    std::vector<ByteBuffer> chunks;
    size_t batchChunks = 0;
    size_t batchTailUsed = 0;  // of the batch's last chunk, the bytes that are the batch's
    // Owned by the write in flight.
    std::vector<Entry> batchEntries;
    // Done with: kept for reuse.
    std::vector<ByteBuffer> spares;
    size_t spareBytes = 0;
    // Storage of their own, for large messages and payloads handed over: made on first use,
    // since most connections never send one. The batch's are owned by the write in flight.
    struct LargeParts {
        std::vector<ByteBuffer> pendingOwned;
        std::vector<std::vector<uint8_t>> pendingAttachments;
        std::vector<ByteBuffer> batchOwned;
        std::vector<std::vector<uint8_t>> batchAttachments;
        std::vector<uint8_t> spentStorage;  // the largest attached payload written, for reuse
    };
    std::unique_ptr<LargeParts> large;
    LargeParts& largeParts() {
        if (!large) {
            large = std::make_unique<LargeParts>();
        }
        return *large;
    }
    size_t storedBytes = 0;  // capacity of the chunks, owned buffers and spares
    bool inFlight = false;
};

}  // namespace relaymatrix::extensions::tidewire
