#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <numeric>
#include <set>
#include <vector>

#include "FrameHeader.h"
#include "Masking.h"
#include "tidewire/WebSocketFrame.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

std::vector<uint8_t> counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

void bytewiseMask(uint8_t* data, size_t size, const uint8_t key[4], size_t offset) {
    for (size_t i = 0; i < size; ++i) {
        data[i] ^= key[(offset + i) & 3];
    }
}

}  // namespace

TEST(WebSocketFrameBuild, EmptyPayload) {
    EXPECT_EQ(WebSocketFrame::build({}, true, 0x9, false), (std::vector<uint8_t>{0x89, 0x00}));
    const std::vector<uint8_t> masked = WebSocketFrame::build({}, true, 0x9, true);
    ASSERT_EQ(masked.size(), 6u);
    EXPECT_EQ(masked[0], 0x89);
    EXPECT_EQ(masked[1], 0x80);
}

TEST(WebSocketFrameBuild, HeaderSizeAtEveryLengthThreshold) {
    struct Case {
        size_t payload;
        size_t plainHeader;
        size_t maskedHeader;
        uint8_t lengthCode;
    };
    const Case cases[] = {
        {0, 2, 6, 0},       {125, 2, 6, 125},     {126, 4, 8, 126},
        {65535, 4, 8, 126}, {65536, 10, 14, 127}, {70000, 10, 14, 127},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> payload = counting(c.payload);
        for (bool mask : {false, true}) {
            const size_t header = mask ? c.maskedHeader : c.plainHeader;
            const std::vector<uint8_t> frame = WebSocketFrame::build(payload, true, 0x2, mask);
            ASSERT_EQ(frame.size(), header + c.payload) << c.payload << " mask " << mask;
            EXPECT_EQ(frameHeaderSize(c.payload, mask), header);
            EXPECT_EQ(frame[1], c.lengthCode | (mask ? 0x80 : 0x00));

            uint64_t length = c.lengthCode;
            const size_t extended = c.lengthCode == 126 ? 2 : c.lengthCode == 127 ? 8 : 0;
            if (extended != 0) {
                length = 0;
                for (size_t i = 0; i < extended; ++i) {
                    length = (length << 8) | frame[2 + i];
                }
            }
            EXPECT_EQ(length, c.payload);

            std::vector<uint8_t> body(frame.begin() + header, frame.end());
            if (mask) {
                bytewiseMask(body.data(), body.size(), &frame[header - 4], 0);
            }
            EXPECT_EQ(body, payload) << c.payload << " mask " << mask;
        }
    }
}

TEST(WebSocketFrameBuild, FirstByteAndExtendedLengthBytes) {
    EXPECT_EQ(WebSocketFrame::build({1}, false, 0x1, false)[0], 0x01);
    EXPECT_EQ(WebSocketFrame::build({1}, true, 0x8, false)[0], 0x88);
    EXPECT_EQ(WebSocketFrame::build({1}, true, 0x1F, false)[0], 0x8F);
    EXPECT_EQ(WebSocketFrame::build({1}, false, 0xF0, false)[0], 0x00);

    const std::vector<uint8_t> frame = WebSocketFrame::build(counting(300), true, 0x2, false);
    EXPECT_EQ(frame[1], 126);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[3], 0x2C);

    const std::vector<uint8_t> big = WebSocketFrame::build(counting(65536), true, 0x2, false);
    EXPECT_EQ(std::vector<uint8_t>(big.begin() + 1, big.begin() + 10),
              (std::vector<uint8_t>{127, 0, 0, 0, 0, 0, 1, 0, 0}));
}

TEST(WebSocketFrameBuild, EncodeFrameHeaderWritesLongLengthsAndKey) {
    uint8_t out[maxFrameHeaderSize];
    const uint8_t key[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    const size_t size = encodeFrameHeader(out, false, 0x0, 0x8000000000000001ull, key);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(
        std::vector<uint8_t>(out, out + size),
        (std::vector<uint8_t>{0x00, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0x01, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(frameHeaderSize(0x8000000000000001ull, true), 14u);
}

TEST(WebSocketFrameBuild, MaskingKeysAreFreshPerFrame) {
    std::set<std::array<uint8_t, 4>> keys;
    for (int i = 0; i < 8; ++i) {
        const std::vector<uint8_t> frame = WebSocketFrame::build({}, true, 0x9, true);
        keys.insert({frame[2], frame[3], frame[4], frame[5]});
    }
    EXPECT_GT(keys.size(), 1u);
}

TEST(Masking, KeysAreNotRepeatedAcrossRefillsOrForks) {
    std::set<std::array<uint8_t, 4>> keys;
    for (int i = 0; i < 1000; ++i) {
        std::array<uint8_t, 4> key;
        drawMaskingKey(key.data());
        keys.insert(key);
    }
    EXPECT_GT(keys.size(), 990u);

    // A child must not draw the keys its parent still holds in reserve.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint8_t key[4];
        drawMaskingKey(key);
        _exit(write(fds[1], key, 4) == 4 ? 0 : 1);
    }
    std::array<uint8_t, 4> parentKey;
    drawMaskingKey(parentKey.data());
    std::array<uint8_t, 4> childKey{};
    ASSERT_EQ(read(fds[0], childKey.data(), 4), 4);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_NE(childKey, parentKey);
}

TEST(Masking, MatchesBytewiseRuleForEverySizeOffsetAndAlignment) {
    const uint8_t key[4] = {0x12, 0x34, 0x56, 0x78};
    const std::vector<uint8_t> source = counting(300);
    for (size_t align = 0; align < 8; ++align) {
        for (size_t offset = 0; offset < 4; ++offset) {
            for (size_t size = 0; size + align <= source.size(); size += (size < 80 ? 1 : 37)) {
                std::vector<uint8_t> expected(source.begin() + align,
                                              source.begin() + align + size);
                bytewiseMask(expected.data(), size, key, offset);

                std::vector<uint8_t> inPlace = source;
                applyMask(inPlace.data() + align, size, key, offset);
                ASSERT_EQ(
                    std::vector<uint8_t>(inPlace.begin() + align, inPlace.begin() + align + size),
                    expected)
                    << "align " << align << " offset " << offset << " size " << size;
                EXPECT_TRUE(std::equal(inPlace.begin(), inPlace.begin() + align, source.begin()));
                EXPECT_TRUE(std::equal(inPlace.begin() + align + size, inPlace.end(),
                                       source.begin() + align + size));

                std::vector<uint8_t> copied(size + 1, 0xEE);
                copyWithMask(copied.data(), source.data() + align, size, key, offset);
                ASSERT_EQ(std::vector<uint8_t>(copied.begin(), copied.begin() + size), expected);
                EXPECT_EQ(copied[size], 0xEE);
            }
        }
    }
}

TEST(Masking, UnmaskingInPiecesEqualsUnmaskingAtOnce) {
    const uint8_t key[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::vector<uint8_t> whole = counting(1000);
    std::vector<uint8_t> pieces = whole;
    applyMask(whole.data(), whole.size(), key);
    size_t done = 0;
    for (size_t piece : {1, 3, 17, 64, 5, 910}) {
        applyMask(pieces.data() + done, piece, key, done);
        done += piece;
    }
    ASSERT_EQ(done, pieces.size());
    EXPECT_EQ(pieces, whole);
    applyMask(whole.data(), whole.size(), key);
    EXPECT_EQ(whole, counting(1000));
}

TEST(WebSocketFrameText, ToStringAndOpcodeNames) {
    WebSocketFrame frame;
    frame.fin = true;
    frame.opcode = 0x1;
    frame.payloadLength = 5;
    frame.payload = {'H', 'e', 'l', 'l', 'o'};
    frame.frameComplete = true;
    EXPECT_EQ(frame.toString(),
              "WebSocketFrame{fin=1, opcode=0x1, masked=0, payload length=5, extended payload "
              "length bytes=0, payload size=5, frame complete=1}");

    WebSocketFrame other;
    other.opcode = 0xA;
    other.masked = true;
    other.payloadLength = 70000;
    other.extendedPayloadLengthBytes = 8;
    EXPECT_EQ(other.toString(),
              "WebSocketFrame{fin=0, opcode=0xa, masked=1, payload length=70000, extended "
              "payload length bytes=8, payload size=0, frame complete=0}");

    const std::pair<uint8_t, const char*> names[] = {
        {0x0, "Continuation"}, {0x1, "Text"},    {0x2, "Binary"},   {0x3, "Unknown"},
        {0x7, "Unknown"},      {0x8, "Close"},   {0x9, "Ping"},     {0xA, "Pong"},
        {0xB, "Unknown"},      {0xF, "Unknown"}, {0x81, "Unknown"},
    };
    for (const auto& [opcode, name] : names) {
        EXPECT_EQ(WebSocketFrame::opcodeName(opcode), name) << int{opcode};
    }
}
