#include "core/MessageDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <new>

namespace relaymatrix::extensions::tidewire {

namespace {

// The empty stored block a sync flush ends with; the sender drops it, the receiver restores
// it (RFC 7692, 7.2.1 and 7.2.2).
constexpr uint8_t flushTail[4] = {0x00, 0x00, 0xFF, 0xFF};

// zlib counts bytes in 32 bits: larger buffers are fed in pieces.
constexpr size_t zlibPieceBytes = size_t{1} << 30;

// Inflated output grows by at most this much per step, so a small frame that inflates to a
// huge message is stopped at the limit, not after the allocation.
constexpr size_t inflateStepBytes = 64 * 1024;
constexpr size_t firstInflateStepBytes = 4 * 1024;

// zlib's default level and memory: its own balance of speed and ratio.
constexpr int compressionLevel = Z_DEFAULT_COMPRESSION;
constexpr int compressionMemoryLevel = 8;

// Grows `out` to `size` bytes, its storage never past `cap` (no doubling beyond the limit).
void growTo(std::vector<uint8_t>& out, size_t size, size_t cap) {
    if (size > out.capacity())
        out.reserve(std::min(std::max(out.capacity() * 2, size), std::max(cap, size)));
    out.resize(size);
}

}  // namespace

struct MessageCompressor::State {
    z_stream stream{};
    ~State() { deflateEnd(&stream); }
};

struct MessageDecompressor::State {
    z_stream stream{};
    ~State() { inflateEnd(&stream); }
};

MessageCompressor::MessageCompressor(int bits, bool keep) : windowBits(bits), keepContext(keep) {}
MessageCompressor::~MessageCompressor() = default;

void MessageCompressor::compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    if (!state) {
        auto fresh = std::make_unique<State>();
        if (deflateInit2(&fresh->stream, compressionLevel, Z_DEFLATED, -windowBits,
                         compressionMemoryLevel, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
        state = std::move(fresh);
    }
    z_stream& z = state->stream;
    out.resize(deflateBound(&z, static_cast<uLong>(std::min(size, zlibPieceBytes))) + 16);
    size_t produced = 0, consumed = 0;
    for (bool last = false; !last;) {
        const size_t piece = std::min(size - consumed, zlibPieceBytes);
        last = consumed + piece == size;
        z.next_in = const_cast<Bytef*>(data + consumed);
        z.avail_in = static_cast<uInt>(piece);
        do {
            if (produced == out.size())
                out.resize(out.size() + out.size() / 2 + 64);
            const size_t room = std::min(out.size() - produced, zlibPieceBytes);
            z.next_out = out.data() + produced;
            z.avail_out = static_cast<uInt>(room);
            deflate(&z, last ? Z_SYNC_FLUSH : Z_NO_FLUSH);  // cannot fail with valid buffers
            produced += room - z.avail_out;
        } while (z.avail_out == 0);
        consumed += piece;
    }
    // An empty message right after a flush makes zlib emit nothing; its receiver still needs
    // the empty block's first byte before the tail it restores.
    if (produced < sizeof flushTail)
        out.assign(1, 0x00);
    else
        out.resize(produced - sizeof flushTail);
    if (!keepContext)
        state.reset();
}

MessageDecompressor::MessageDecompressor(int bits, bool keep)
    : windowBits(bits), keepContext(keep) {}
MessageDecompressor::~MessageDecompressor() = default;

MessageDecompressor::Result MessageDecompressor::add(const uint8_t* data, size_t size,
                                                     std::vector<uint8_t>& out, size_t limit) {
    if (!state) {
        auto fresh = std::make_unique<State>();
        if (inflateInit2(&fresh->stream, -windowBits) != Z_OK)
            throw std::bad_alloc();
        state = std::move(fresh);
    }
    z_stream& z = state->stream;
    const size_t cap = limit == SIZE_MAX ? limit : limit + 1;
    size_t consumed = 0;
    do {
        const size_t piece = std::min(size - consumed, zlibPieceBytes);
        z.next_in = const_cast<Bytef*>(data + consumed);
        z.avail_in = static_cast<uInt>(piece);
        do {
            if (out.size() >= cap)
                return Result::TooBig;
            const size_t before = out.size();
            // Small messages start with a small step; large ones reach the full step soon.
            const size_t step =
                std::min({inflateStepBytes, cap - before, std::max(firstInflateStepBytes, before)});
            growTo(out, before + step, cap);
            z.next_out = out.data() + before;
            z.avail_out = static_cast<uInt>(step);
            const int status = inflate(&z, Z_SYNC_FLUSH);
            out.resize(before + step - z.avail_out);
            if (status == Z_STREAM_END)
                inflateReset(&z);  // a final block ends the stream; what follows starts anew
            else if (status != Z_OK && (status != Z_BUF_ERROR || z.avail_in != 0))
                return Result::Corrupt;
        } while (z.avail_out == 0 || z.avail_in != 0);
        consumed += piece;
    } while (consumed < size);
    return out.size() > limit ? Result::TooBig : Result::Ok;
}

MessageDecompressor::Result MessageDecompressor::finish(std::vector<uint8_t>& out, size_t limit) {
    const Result result = add(flushTail, sizeof flushTail, out, limit);
    if (!keepContext)
        state.reset();
    return result;
}

MessageDeflate::MessageDeflate(const DeflateParameters& agreed, bool server)
    : compressor(std::max(server ? agreed.serverMaxWindowBits : agreed.clientMaxWindowBits,
                          minimumDeflateWindowBits),
                 !(server ? agreed.serverNoContextTakeover : agreed.clientNoContextTakeover)),
      decompressor(server ? agreed.clientMaxWindowBits : agreed.serverMaxWindowBits,
                   !(server ? agreed.clientNoContextTakeover : agreed.serverNoContextTakeover)) {}

}  // namespace relaymatrix::extensions::tidewire
