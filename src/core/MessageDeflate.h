#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/DeflateNegotiation.h"

// permessage-deflate's compression of whole messages over zlib's raw deflate. Each direction
// holds its zlib state only while it is needed: from the first message on with context
// takeover, for the length of one message without it. No I/O; one per connection, used on
// its loop thread only.
namespace relaymatrix::extensions::tidewire {

class MessageCompressor {
public:
    MessageCompressor(int windowBits, bool keepContext);
    ~MessageCompressor();
    MessageCompressor(const MessageCompressor&) = delete;
    MessageCompressor& operator=(const MessageCompressor&) = delete;

    // Replaces `out` with `data` compressed as one message: the deflate blocks up to a sync
    // flush, without the flush's final 00 00 FF FF that the receiver restores.
    void compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

private:
    struct State;
    std::unique_ptr<State> state;  // null while no zlib state is held
    int windowBits;
    bool keepContext;
};

class MessageDecompressor {
public:
    enum class Result { Ok, TooBig, Corrupt };

    MessageDecompressor(int windowBits, bool keepContext);
    ~MessageDecompressor();
    MessageDecompressor(const MessageDecompressor&) = delete;
    MessageDecompressor& operator=(const MessageDecompressor&) = delete;

    // Appends to `out` what one frame's payload of the current message inflates to. Output
    // grows in bounded steps and never past `limit` bytes plus one: reaching that gives
    // TooBig, whatever the input still holds. Corrupt: not valid deflate data.
    Result add(const uint8_t* data, size_t size, std::vector<uint8_t>& out, size_t limit);
    // After the message's last frame: inflates the restored 00 00 FF FF tail and ends the
    // message.
    Result finish(std::vector<uint8_t>& out, size_t limit);

private:
    struct State;
    std::unique_ptr<State> state;  // null while no zlib state is held
    int windowBits;
    bool keepContext;
};

// Both directions of one connection, set up from the agreed parameters for our side.
struct MessageDeflate {
    MessageDeflate(const DeflateParameters& agreed, bool server);

    MessageCompressor compressor;
    MessageDecompressor decompressor;
};

}  // namespace relaymatrix::extensions::tidewire
