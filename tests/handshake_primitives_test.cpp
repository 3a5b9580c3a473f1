#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tidewire/Base64.h"
#include "tidewire/Handshake.h"
#include "tidewire/SHA1Hash.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

}  // namespace

TEST(Base64, Rfc4648VectorsThroughBothOverloads) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, expected] : vectors) {
        EXPECT_EQ(Base64::encode(input), expected) << input;
        EXPECT_EQ(Base64::encode(bytesOf(input)), expected) << input;
    }
    EXPECT_EQ(Base64::encode(std::vector<uint8_t>{}), "");
}

TEST(Base64, HighBytesAndNulAgreeBetweenOverloads) {
    const std::string withNul("\x00\xff\x80", 3);
    EXPECT_EQ(Base64::encode(withNul), "AP+A");
    EXPECT_EQ(Base64::encode(std::vector<uint8_t>{0x00, 0xFF, 0x80}), "AP+A");
    EXPECT_EQ(Base64::encode(std::vector<uint8_t>{0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(Base64::encode(std::vector<uint8_t>{0xFF}), "/w==");

    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    const std::string encoded = Base64::encode(all);
    EXPECT_EQ(encoded, Base64::encode(bytesOf(all)));
    EXPECT_EQ(encoded.size(), 4 * ((all.size() + 2) / 3));
    EXPECT_EQ(encoded.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
}

TEST(SHA1Hash, Fips180Vectors) {
    EXPECT_EQ(hex(SHA1Hash::hash("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(SHA1Hash::hash("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(SHA1Hash::hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(SHA1Hash::hash(std::string(1000000, 'a'))),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(SHA1Hash::hash(std::string("a\0b", 3)).size(), 20u);
    EXPECT_NE(SHA1Hash::hash(std::string("a\0b", 3)), SHA1Hash::hash("a"));
}

TEST(AcceptKey, Rfc6455Example) {
    EXPECT_EQ(generateAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(AcceptKey, KeyIsTakenByteForByte) {
    // The digest of the GUID alone.
    EXPECT_EQ(generateAcceptKey(""), "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w=");
    EXPECT_NE(generateAcceptKey(" dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(generateAcceptKey("not base64 at all \x01").size(), 28u);
}

TEST(Nonce, SameSeedSameSequenceAndDrawsDiffer) {
    std::mt19937 first;
    std::mt19937 second;
    const std::string a = generateNonce(first);
    const std::string b = generateNonce(first);
    EXPECT_EQ(a.size(), 24u);
    EXPECT_EQ(a.substr(22), "==");
    EXPECT_NE(a, b);
    EXPECT_EQ(generateNonce(second), a);
    EXPECT_EQ(generateNonce(second), b);
}

TEST(Nonce, EachByteIsTheTopOfOneEngineOutput) {
    // std::mt19937's output sequence is fixed by the standard, so these texts are portable.
    std::mt19937 defaultSeed;
    EXPECT_EQ(generateNonce(defaultSeed), "0CLn1SD46TihThiMRzCM/g==");  // 0xD0 = 3499211612 >> 24
    EXPECT_EQ(generateNonce(defaultSeed), "9f/39yi5+Pv1HHzMzEwkAQ==");
    std::mt19937 seeded(42);
    EXPECT_EQ(generateNonce(seeded), "X8vzLrvHmZgncicZDnXdVQ==");

    // Exactly 16 outputs are consumed per call.
    std::mt19937 used(7);
    std::mt19937 reference(7);
    generateNonce(used);
    reference.discard(16);
    EXPECT_EQ(used(), reference());
}
