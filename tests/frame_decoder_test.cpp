#include <gtest/gtest.h>

#include <vector>

#include "FrameDecoder.h"
#include "tidewire/WebSocketFrame.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

// Drives the decoder over a byte stream the way a reader does, one step per read.
struct Decoded {
    std::vector<WebSocketFrame> frames;
    std::vector<uint64_t> reads;  // bytes asked for per step, in order
    size_t consumed = 0;
};

Decoded decodeStream(const std::vector<uint8_t>& stream) {
    Decoded out;
    FrameDecoder decoder;
    decoder.reset();
    while (true) {
        if (decoder.step() == FrameStep::Complete) {
            out.frames.push_back(decoder.frame());
            decoder.reset();
            continue;
        }
        const uint64_t needed = decoder.bytesNeeded();
        if (needed > stream.size() - out.consumed) {
            break;
        }
        out.reads.push_back(needed);
        const uint8_t* bytes = stream.data() + out.consumed;
        switch (decoder.step()) {
            case FrameStep::Header:
                decoder.applyHeader(bytes);
                break;
            case FrameStep::LengthAndKey:
                decoder.applyLengthAndKey(bytes);
                break;
            default:
                decoder.applyPayload(bytes);
                break;
        }
        out.consumed += needed;
    }
    return out;
}

}  // namespace

TEST(FrameDecoder, MaskedTextFrameReadsKeyThenPayload) {
    const std::vector<uint8_t> stream = {0x81, 0x85, 0x37, 0xFA, 0x21, 0x3D,
                                         0x7F, 0x9F, 0x4D, 0x51, 0x58};  // RFC 6455 5.7
    FrameDecoder decoder;
    decoder.applyHeader(stream.data());
    EXPECT_EQ(decoder.step(), FrameStep::LengthAndKey);
    EXPECT_EQ(decoder.bytesNeeded(), 4u);
    EXPECT_TRUE(decoder.frame().fin);
    EXPECT_TRUE(decoder.frame().masked);
    EXPECT_EQ(decoder.frame().opcode, 0x1);
    EXPECT_EQ(decoder.frame().payloadLength, 5u);

    decoder.applyLengthAndKey(stream.data() + 2);
    EXPECT_EQ(decoder.step(), FrameStep::Payload);
    EXPECT_EQ(decoder.bytesNeeded(), 5u);
    EXPECT_EQ(decoder.frame().maskingKey, (std::array<uint8_t, 4>{0x37, 0xFA, 0x21, 0x3D}));
    EXPECT_FALSE(decoder.frame().frameComplete);

    decoder.applyPayload(stream.data() + 6);
    EXPECT_EQ(decoder.step(), FrameStep::Complete);
    EXPECT_EQ(decoder.bytesNeeded(), 0u);
    EXPECT_TRUE(decoder.frame().frameComplete);
    EXPECT_EQ(decoder.frame().payload, (std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o'}));
}

TEST(FrameDecoder, EmptyMaskedPingCompletesAfterKeyAndNextFrameFollows) {
    const std::vector<uint8_t> stream = {0x89, 0x80, 0x01, 0x02, 0x03, 0x04, 0x81,
                                         0x05, 'H',  'e',  'l',  'l',  'o'};
    const Decoded decoded = decodeStream(stream);
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_EQ(decoded.reads, (std::vector<uint64_t>{2, 4, 2, 5}));
    EXPECT_EQ(decoded.consumed, stream.size());
    EXPECT_EQ(decoded.frames[0].opcode, 0x9);
    EXPECT_TRUE(decoded.frames[0].masked);
    EXPECT_TRUE(decoded.frames[0].frameComplete);
    EXPECT_TRUE(decoded.frames[0].payload.empty());
    EXPECT_EQ(decoded.frames[1].opcode, 0x1);
    EXPECT_FALSE(decoded.frames[1].masked);
    EXPECT_EQ(decoded.frames[1].payload, (std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o'}));
}

TEST(FrameDecoder, ExtendedLengthForms) {
    FrameDecoder decoder;
    const uint8_t header16[] = {0x82, 0x7E};
    decoder.applyHeader(header16);
    EXPECT_EQ(decoder.frame().extendedPayloadLengthBytes, 2u);
    EXPECT_EQ(decoder.frame().payloadLength, 126u);
    EXPECT_EQ(decoder.bytesNeeded(), 2u);
    const uint8_t length16[] = {0x01, 0x2C};
    decoder.applyLengthAndKey(length16);
    EXPECT_EQ(decoder.frame().payloadLength, 300u);
    EXPECT_EQ(decoder.bytesNeeded(), 300u);

    decoder.reset();
    const uint8_t header64[] = {0x82, 0xFF};
    decoder.applyHeader(header64);
    EXPECT_EQ(decoder.frame().extendedPayloadLengthBytes, 8u);
    EXPECT_EQ(decoder.bytesNeeded(), 12u);
    const uint8_t length64[] = {0, 0, 0, 0, 0, 1, 0, 0, 9, 8, 7, 6};
    decoder.applyLengthAndKey(length64);
    EXPECT_EQ(decoder.frame().payloadLength, 65536u);
    EXPECT_EQ(decoder.frame().maskingKey, (std::array<uint8_t, 4>{9, 8, 7, 6}));
}

TEST(FrameDecoder, HugeDeclaredLengthIsReportedNotAllocated) {
    FrameDecoder decoder;
    const uint8_t header[] = {0x82, 0x7F};
    decoder.applyHeader(header);
    const uint8_t length[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    decoder.applyLengthAndKey(length);
    EXPECT_EQ(decoder.step(), FrameStep::Payload);
    EXPECT_EQ(decoder.bytesNeeded(), UINT64_MAX);
    EXPECT_EQ(decoder.frame().payloadLength, UINT64_MAX);
    EXPECT_EQ(decoder.frame().payload.capacity(), 0u);
    decoder.reset();
    EXPECT_EQ(decoder.step(), FrameStep::Header);
    EXPECT_EQ(decoder.frame().payloadLength, 0u);
}

TEST(FrameDecoder, ZeroLengthsCompleteWithoutPayloadStep) {
    EXPECT_EQ(decodeStream({0x8A, 0x00}).reads, (std::vector<uint64_t>{2}));
    EXPECT_EQ(decodeStream({0x82, 0x7E, 0x00, 0x00}).reads, (std::vector<uint64_t>{2, 2}));
    const Decoded decoded = decodeStream({0x02, 0xFE, 0x00, 0x00, 1, 2, 3, 4});
    ASSERT_EQ(decoded.frames.size(), 1u);
    EXPECT_FALSE(decoded.frames[0].fin);
    EXPECT_TRUE(decoded.frames[0].frameComplete);
    EXPECT_EQ(decoded.frames[0].payloadLength, 0u);
}

TEST(FrameDecoder, TakesReservedBitsAndOpcodesAsTheyCome) {
    const Decoded decoded = decodeStream({0xF3, 0x01, 0xAB, 0x19, 0x7E, 0x00, 0x01, 0xCD});
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_TRUE(decoded.frames[0].fin);
    EXPECT_EQ(decoded.frames[0].opcode, 0x3);
    EXPECT_EQ(decoded.frames[0].payload, (std::vector<uint8_t>{0xAB}));
    EXPECT_FALSE(decoded.frames[1].fin);
    EXPECT_EQ(decoded.frames[1].opcode, 0x9);
    EXPECT_EQ(decoded.frames[1].payload, (std::vector<uint8_t>{0xCD}));
}

TEST(FrameDecoder, ToStringAfterHeaderStep) {
    FrameDecoder decoder;
    const uint8_t header[] = {0x81, 0x05};
    decoder.applyHeader(header);
    EXPECT_EQ(decoder.frame().toString(),
              "WebSocketFrame{fin=1, opcode=0x1, masked=0, payload length=5, extended payload "
              "length bytes=0, payload size=0, frame complete=0}");
    const uint8_t payload[] = {'a', 'b', 'c', 'd', 'e'};
    decoder.applyPayload(payload);
    EXPECT_EQ(decoder.frame().toString(),
              "WebSocketFrame{fin=1, opcode=0x1, masked=0, payload length=5, extended payload "
              "length bytes=0, payload size=5, frame complete=1}");
}

TEST(FrameDecoder, DecodesWhatBuildProducesAtEveryLengthForm) {
    for (size_t size : {0, 1, 125, 126, 65535, 65536}) {
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<uint8_t>(i ^ (i >> 8));
        }
        for (bool mask : {false, true}) {
            std::vector<uint8_t> stream = WebSocketFrame::build(payload, false, 0x2, mask);
            const std::vector<uint8_t> next = WebSocketFrame::build({7}, true, 0x0, mask);
            stream.insert(stream.end(), next.begin(), next.end());
            const Decoded decoded = decodeStream(stream);
            ASSERT_EQ(decoded.frames.size(), 2u) << size << " mask " << mask;
            EXPECT_EQ(decoded.consumed, stream.size());
            EXPECT_EQ(decoded.frames[0].payload, payload) << size << " mask " << mask;
            EXPECT_EQ(decoded.frames[0].masked, mask);
            EXPECT_FALSE(decoded.frames[0].fin);
            EXPECT_EQ(decoded.frames[1].payload, (std::vector<uint8_t>{7}));
            EXPECT_TRUE(decoded.frames[1].fin);
        }
    }
}

TEST(FrameDecoder, InPlacePayloadAndBufferReuse) {
    const std::vector<uint8_t> stream = WebSocketFrame::build({'a', 'b', 'c'}, true, 0x1, true);
    FrameDecoder decoder;
    decoder.applyHeader(stream.data());
    decoder.applyLengthAndKey(stream.data() + 2);
    uint8_t* room = decoder.preparePayload();
    std::copy(stream.begin() + 6, stream.end(), room);
    decoder.finishPayload();
    EXPECT_EQ(decoder.step(), FrameStep::Complete);
    EXPECT_EQ(decoder.frame().payload, (std::vector<uint8_t>{'a', 'b', 'c'}));

    const uint8_t* buffer = decoder.frame().payload.data();
    decoder.reset();
    EXPECT_TRUE(decoder.frame().payload.empty());
    EXPECT_EQ(decoder.frame().payload.data(), buffer);  // small buffers are kept

    decoder.frame().payload.resize(FrameDecoder::retainedPayloadCapacity + 1);
    decoder.reset();
    EXPECT_EQ(decoder.frame().payload.capacity(), 0u);  // large ones are released
}
