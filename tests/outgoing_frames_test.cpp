#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "OutgoingFrames.h"
#include "WriteQueue.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

struct Frame {
    bool fin;
    uint8_t opcode;
    bool masked;
    std::vector<uint8_t> payload;  // unmasked
};

// Decodes a run of frames, checking that they fill `bytes` exactly.
std::vector<Frame> decodeAll(const std::vector<uint8_t>& bytes) {
    std::vector<Frame> frames;
    size_t at = 0;
    while (at < bytes.size()) {
        Frame frame;
        frame.fin = (bytes[at] & 0x80) != 0;
        frame.opcode = bytes[at] & 0x0F;
        frame.masked = (bytes[at + 1] & 0x80) != 0;
        uint64_t length = bytes[at + 1] & 0x7F;
        at += 2;
        const size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (extended != 0) {
            length = 0;
            for (size_t i = 0; i < extended; ++i) {
                length = (length << 8) | bytes[at++];
            }
        }
        uint8_t key[4] = {0, 0, 0, 0};
        if (frame.masked) {
            for (uint8_t& k : key) {
                k = bytes[at++];
            }
        }
        for (uint64_t i = 0; i < length; ++i) {
            frame.payload.push_back(bytes[at++] ^ key[i & 3]);
        }
        frames.push_back(frame);
    }
    EXPECT_EQ(at, bytes.size());
    return frames;
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& data, uint8_t opcode, size_t maxFrameSize,
                            bool masked, size_t* frameCount = nullptr) {
    const MessageLayout layout = layoutMessage(data.size(), maxFrameSize, masked);
    std::vector<uint8_t> bytes(layout.bytes);
    encodeMessage(bytes.data(), data.data(), data.size(), opcode, maxFrameSize, masked);
    if (frameCount != nullptr) {
        *frameCount = layout.frames;
    }
    return bytes;
}

std::vector<uint8_t> sequence(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return data;
}

}  // namespace

TEST(OutgoingFrames, SplitsIntoOpcodeThenContinuationsWithFinOnlyOnTheLast) {
    for (bool masked : {false, true}) {
        size_t count = 0;
        const std::vector<Frame> frames = decodeAll(encode(sequence(10), 0x2, 4, masked, &count));
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(frames[0].opcode, 0x2);
        EXPECT_EQ(frames[1].opcode, 0x0);
        EXPECT_EQ(frames[2].opcode, 0x0);
        EXPECT_FALSE(frames[0].fin);
        EXPECT_FALSE(frames[1].fin);
        EXPECT_TRUE(frames[2].fin);
        std::vector<uint8_t> joined;
        for (const Frame& frame : frames) {
            EXPECT_EQ(frame.masked, masked);
            joined.insert(joined.end(), frame.payload.begin(), frame.payload.end());
        }
        EXPECT_EQ(joined, sequence(10));
        EXPECT_EQ(frames[2].payload.size(), 2u);
    }
}

TEST(OutgoingFrames, LayoutCountsEveryLengthForm) {
    struct Case {
        size_t size;
        size_t maxFrameSize;
        bool masked;
        size_t frames;
        size_t bytes;
    };
    const std::vector<Case> cases = {
        {0, 5, false, 1, 2},
        {0, 0, true, 1, 6},
        {125, 0, false, 1, 127},
        {126, 0, false, 1, 130},
        {65535, 0, true, 1, 65543},
        {65536, 0, false, 1, 65546},
        {65536, 0, true, 1, 65550},
        {10, 10, false, 1, 12},
        {10, 11, false, 1, 12},
        {10, 3, true, 4, 10 + 4 * 6},
        {300, 200, false, 2, 300 + 4 + 2},
        {70000, 65536, false, 2, 70000 + 10 + 4},
    };
    for (const Case& c : cases) {
        const MessageLayout layout = layoutMessage(c.size, c.maxFrameSize, c.masked);
        EXPECT_EQ(layout.frames, c.frames) << c.size << "/" << c.maxFrameSize;
        EXPECT_EQ(layout.bytes, c.bytes) << c.size << "/" << c.maxFrameSize;
        const std::vector<Frame> frames =
            decodeAll(encode(sequence(c.size), 0x1, c.maxFrameSize, c.masked));
        EXPECT_EQ(frames.size(), c.frames);
    }
}

TEST(OutgoingFrames, EmptyMessageIsOneFinalFrameWithAKeyWhenMasked) {
    const std::vector<uint8_t> bytes = encode({}, 0x1, 5, true);
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(bytes[0], 0x81);
    EXPECT_EQ(bytes[1], 0x80);
    EXPECT_EQ(encode({}, 0x2, 0, false), (std::vector<uint8_t>{0x82, 0x00}));
}

TEST(OutgoingFrames, EveryMaskedFrameGetsItsOwnKey) {
    const std::vector<uint8_t> bytes = encode(std::vector<uint8_t>(64, 0), 0x2, 1, true);
    // A zero payload byte masked with the key shows the key byte; collect frame keys.
    std::vector<uint32_t> keys;
    for (size_t at = 0; at < bytes.size(); at += 7) {
        keys.push_back(uint32_t(bytes[at + 2]) << 24 | uint32_t(bytes[at + 3]) << 16 |
                       uint32_t(bytes[at + 4]) << 8 | bytes[at + 5]);
    }
    ASSERT_EQ(keys.size(), 64u);
    size_t repeats = 0;
    for (size_t i = 1; i < keys.size(); ++i) {
        repeats += keys[i] == keys[i - 1] ? 1 : 0;
    }
    EXPECT_EQ(repeats, 0u);
}

TEST(WriteQueue, BatchesEverythingPendingAndKeepsEntriesInOrder) {
    WriteQueue queue;
    EXPECT_FALSE(queue.hasPending());
    const std::vector<uint8_t> first = {1, 2, 3};
    std::copy(first.begin(), first.end(), queue.extend(first.size()));
    queue.addEntry(0x1, WriteQueue::Kind::Message, 1);
    queue.append({4, 5});
    queue.addEntry(0x9, WriteQueue::Kind::Message, 1);
    ASSERT_TRUE(queue.hasPending());

    const auto batch = queue.beginBatch();
    EXPECT_TRUE(queue.writing());
    EXPECT_FALSE(queue.hasPending());
    EXPECT_EQ(std::vector<uint8_t>(batch.first, batch.first + batch.second),
              (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    ASSERT_EQ(queue.batch().size(), 2u);
    EXPECT_EQ(queue.batch()[1].opcode, 0x9);

    // Handed over while the batch is in flight: waits for the next batch.
    queue.append({6});
    queue.addEntry(0x2, WriteQueue::Kind::Message, 1);
    EXPECT_EQ(batch.first[4], 5);
    queue.endBatch();
    EXPECT_FALSE(queue.writing());
    const auto next = queue.beginBatch();
    EXPECT_EQ(std::vector<uint8_t>(next.first, next.first + next.second), std::vector<uint8_t>{6});
    queue.endBatch();
    queue.append({7});
    queue.addEntry(0x2, WriteQueue::Kind::Message, 1);
    queue.dropPending();
    EXPECT_FALSE(queue.hasPending());
}
