#include "core/Utf8Validator.h"

#include <array>
#include <cstring>

namespace relaymatrix::extensions::tidewire {

namespace {

// Byte classes: each class has the same meaning in every state.
enum Class : uint8_t {
    ascii,   // 00..7F
    tail80,  // 80..8F
    tail90,  // 90..9F
    tailA0,  // A0..BF
    never,   // C0 C1 (overlong) and F5..FF (above U+10FFFF)
    lead2,   // C2..DF
    leadE0,  // E0: its next byte A0..BF, or the form is overlong
    lead3,   // E1..EC EE EF
    leadED,  // ED: its next byte 80..9F, or it is a surrogate
    leadF0,  // F0: its next byte 90..BF, or the form is overlong
    lead4,   // F1..F3
    leadF4,  // F4: its next byte 80..8F, or it is above U+10FFFF
    classCount
};

// States besides accepting (0) and rejected (1): how many continuation bytes are still
// owed, and for the first of them which range it must fall in.
enum State : uint8_t { tails1 = 2, tails2, tails3, afterE0, afterED, afterF0, afterF4, stateCount };

constexpr std::array<uint8_t, 256> makeClasses() {
    std::array<uint8_t, 256> c{};
    for (int b = 0; b < 256; ++b) {
        c[b] = b < 0x80    ? ascii
               : b < 0x90  ? tail80
               : b < 0xA0  ? tail90
               : b < 0xC0  ? tailA0
               : b < 0xC2  ? never
               : b < 0xE0  ? lead2
               : b == 0xE0 ? leadE0
               : b == 0xED ? leadED
               : b < 0xF0  ? lead3
               : b == 0xF0 ? leadF0
               : b < 0xF4  ? lead4
               : b == 0xF4 ? leadF4
                           : never;
    }
    return c;
}

constexpr std::array<std::array<uint8_t, classCount>, stateCount> makeTransitions() {
    std::array<std::array<uint8_t, classCount>, stateCount> t{};
    for (auto& row : t) {
        for (auto& next : row) {
            next = Utf8Validator::rejected;
        }
    }
    auto& start = t[Utf8Validator::accepting];
    start[ascii] = Utf8Validator::accepting;
    start[lead2] = tails1;
    start[leadE0] = afterE0;
    start[lead3] = tails2;
    start[leadED] = afterED;
    start[leadF0] = afterF0;
    start[lead4] = tails3;
    start[leadF4] = afterF4;
    for (const uint8_t tail : {tail80, tail90, tailA0}) {
        t[tails1][tail] = Utf8Validator::accepting;
        t[tails2][tail] = tails1;
        t[tails3][tail] = tails2;
    }
    t[afterE0][tailA0] = tails1;
    t[afterED][tail80] = t[afterED][tail90] = tails1;
    t[afterF0][tail90] = t[afterF0][tailA0] = tails2;
    t[afterF4][tail80] = tails2;
    return t;
}

constexpr std::array<uint8_t, 256> classes = makeClasses();
constexpr std::array<std::array<uint8_t, classCount>, stateCount> transitions = makeTransitions();

}  // namespace

bool Utf8Validator::feed(const uint8_t* data, size_t size) {
    uint8_t s = state;
    size_t i = 0;
    while (i < size && s != rejected) {
        // Between characters, runs of ASCII go eight bytes at a time.
        if (s == accepting) {
            uint64_t word;
            while (i + sizeof word <= size) {
                std::memcpy(&word, data + i, sizeof word);
                if ((word & 0x8080808080808080ULL) != 0) {
                    break;
                }
                i += sizeof word;
            }
            if (i == size) {
                break;
            }
        }
        s = transitions[s][classes[data[i++]]];
    }
    state = s;
    return s != rejected;
}

}  // namespace relaymatrix::extensions::tidewire
