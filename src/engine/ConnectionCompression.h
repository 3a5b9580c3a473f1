#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/DeflateNegotiation.h"
#include "core/FrameDecoder.h"
#include "core/FrameHeader.h"
#include "core/MessageDeflate.h"
#include "tidewire/CompressionOptions.h"
#include "tidewire/WebSocketFrame.h"

namespace relaymatrix::extensions::tidewire {

// Message compression of one connection: what it offers or answers in the opening handshake,
// which messages go out compressed, and the received frames of a compressed message replaced
// by what they inflate to. Configured before the connection starts; loop thread after that.
//
// `Derived` supplies: maskOutgoing (true on the client side).
template <class Derived>
class ConnectionCompression {
public:
    void configureCompression(const CompressionOptions& options) { compression = options; }

    // Client: the Sec-WebSocket-Extensions value to offer; empty when compression is off.
    std::string compressionOffer() const {
        return compression.enabled ? buildDeflateOffer(compression) : std::string();
    }

    // Client: the server's answer (every Sec-WebSocket-Extensions value). Off, it is not
    // looked at, as without compression at all.
    DeflateAgreement acceptCompression(const std::vector<std::string>& answers) {
        DeflateAgreement agreement;
        if (compression.enabled) {
            agreement = checkDeflateResponse(answers, compression);
            startCompression(agreement);
        }
        return agreement;
    }

    // Server: the answer to the client's offers; empty when none is agreed.
    std::string answerCompression(const std::vector<std::string>& offers) {
        if (!compression.enabled) {
            return std::string();
        }
        const DeflateAgreement agreement = answerDeflateOffers(offers, compression);
        startCompression(agreement);
        return agreement.header;
    }

    MessageDeflate* messageDeflate() { return deflate.get(); }

    // A host's message that may go out compressed (once agreed); any thread.
    bool mayCompress(uint8_t opcode, size_t size) const {
        return compression.enabled && (opcode == opcodes::Text || opcode == opcodes::Binary) &&
               size >= compression.minimumMessageBytes;
    }

    // With compression enabled RSV1 means a compressed message, so it is allowed only on the
    // first frame of a data message once agreed; disabled, reserved bits are ignored.
    bool reservedBitRefused(bool compressed, uint8_t opcode) const {
        return compressed && compression.enabled &&
               (!deflate || (opcode != opcodes::Text && opcode != opcodes::Binary));
    }

    // A complete data frame, `compressed` when it carries RSV1: a compressed message's frame
    // gets what it inflates to in place of its payload, the last frame also the restored tail.
    // Inflating stops once the output would pass `bound` bytes (TooBig).
    MessageDecompressor::Result inflateDataFrame(WebSocketFrame& frame, bool compressed,
                                                 size_t bound) {
        if (!deflate) {
            return MessageDecompressor::Result::Ok;
        }
        if (frame.opcode != opcodes::Continuation) {
            inflating = compressed;
        }
        const bool inflate = inflating;
        inflating = inflating && !frame.fin;
        if (!inflate) {
            return MessageDecompressor::Result::Ok;
        }
        inflated.clear();
        MessageDecompressor& decompressor = deflate->decompressor;
        MessageDecompressor::Result result =
            decompressor.add(frame.payload.data(), frame.payload.size(), inflated, bound);
        if (result == MessageDecompressor::Result::Ok && frame.fin) {
            result = decompressor.finish(inflated, bound);
        }
        if (result != MessageDecompressor::Result::Ok) {
            return result;
        }
        frame.payload.swap(inflated);
        if (inflated.capacity() > FrameDecoder::retainedPayloadCapacity) {
            std::vector<uint8_t>().swap(inflated);
        }
        return result;
    }

    size_t retainedInflateBytes() const { return inflated.capacity(); }
    void releaseInflateStorage() { std::vector<uint8_t>().swap(inflated); }

private:
    void startCompression(const DeflateAgreement& agreement) {
        if (agreement.agreed) {
            deflate =
                std::make_unique<MessageDeflate>(agreement.parameters, !Derived::maskOutgoing);
        }
    }

    CompressionOptions compression;           // configured before the connection starts
    std::unique_ptr<MessageDeflate> deflate;  // agreed in the handshake; null: uncompressed
    bool inflating = false;                   // the message being received is compressed
    std::vector<uint8_t> inflated;            // reused output of the decompressor
};

}  // namespace relaymatrix::extensions::tidewire
