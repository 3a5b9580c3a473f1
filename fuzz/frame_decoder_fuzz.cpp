// Arbitrary bytes as a connection's incoming stream, read frame by frame the way a reader
// does: the declared length is bounded by what is there, the payload step alternates between
// the copying and the in-place form. Every decoded payload must equal the bytewise unmasking
// of the wire bytes, and re-encoding the frame must decode to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FrameDecoder.h"
#include "FrameHeader.h"
#include "Masking.h"
#include "tidewire/WebSocketFrame.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkRoundTrip(const WebSocketFrame& frame) {
    uint8_t header[maxFrameHeaderSize];
    const size_t headerSize = encodeFrameHeader(header, frame.fin, frame.opcode,
                                                frame.payload.size(), frame.maskingKey.data());
    check(headerSize == frameHeaderSize(frame.payload.size(), true));
    std::vector<uint8_t> wire(header, header + headerSize);
    wire.resize(headerSize + frame.payload.size());
    copyWithMask(wire.data() + headerSize, frame.payload.data(), frame.payload.size(),
                 frame.maskingKey.data());

    FrameDecoder decoder;
    size_t pos = 0;
    while (decoder.step() != FrameStep::Complete) {
        const size_t needed = static_cast<size_t>(decoder.bytesNeeded());
        check(needed <= wire.size() - pos);
        if (decoder.step() == FrameStep::Header) {
            decoder.applyHeader(wire.data() + pos);
        } else if (decoder.step() == FrameStep::LengthAndKey) {
            decoder.applyLengthAndKey(wire.data() + pos);
        } else {
            decoder.applyPayload(wire.data() + pos);
        }
        pos += needed;
    }
    check(pos == wire.size());
    check(decoder.frame().fin == frame.fin && decoder.frame().opcode == frame.opcode);
    check(decoder.frame().payload == frame.payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameDecoder decoder;
    size_t pos = 0;
    bool inPlace = false;
    while (true) {
        if (decoder.step() == FrameStep::Complete) {
            const WebSocketFrame& frame = decoder.frame();
            check(frame.frameComplete);
            check(frame.payload.size() == frame.payloadLength);
            check(!frame.toString().empty());
            check(!WebSocketFrame::opcodeName(frame.opcode).empty());
            checkRoundTrip(frame);
            decoder.reset();
            check(decoder.step() == FrameStep::Header && decoder.frame().payload.empty());
            continue;
        }
        const uint64_t needed = decoder.bytesNeeded();
        check(needed > 0);
        if (needed > size - pos) {
            break;  // a reader would wait for more bytes, or refuse a length above its bound
        }
        const uint8_t* bytes = data + pos;
        switch (decoder.step()) {
            case FrameStep::Header:
                decoder.applyHeader(bytes);
                break;
            case FrameStep::LengthAndKey:
                decoder.applyLengthAndKey(bytes);
                break;
            default: {
                const size_t length = static_cast<size_t>(needed);
                inPlace = !inPlace;
                if (inPlace) {
                    std::memcpy(decoder.preparePayload(), bytes, length);
                    decoder.finishPayload();
                } else {
                    decoder.applyPayload(bytes);
                }
                const WebSocketFrame& frame = decoder.frame();
                for (size_t i = 0; i < length; ++i) {
                    const uint8_t key = frame.masked ? frame.maskingKey[i & 3] : 0;
                    check(frame.payload[i] == (bytes[i] ^ key));
                }
                // Unmasking in two pieces at any split gives the same bytes.
                if (frame.masked) {
                    std::vector<uint8_t> pieces(bytes, bytes + length);
                    const size_t split = bytes[0] % (length + 1);
                    applyMask(pieces.data(), split, frame.maskingKey.data(), 0);
                    applyMask(pieces.data() + split, length - split, frame.maskingKey.data(),
                              split);
                    check(pieces == frame.payload);
                }
                break;
            }
        }
        check(decoder.step() != FrameStep::Header);
        pos += static_cast<size_t>(needed);
    }
    return 0;
}
