#pragma once

#include <cstddef>
#include <cstdint>

namespace relaymatrix::extensions::tidewire {

// Checks UTF-8 exactly as RFC 3629 defines it (no overlong forms, no surrogates, nothing above
// U+10FFFF) as the bytes arrive: a character split between two frames carries over, and the
// first byte that no valid text could continue with fails at once, before the message ends.
class Utf8Validator {
public:
    // False once the bytes fed so far cannot begin valid UTF-8; it then stays false.
    bool feed(const uint8_t* data, size_t size);
    // The bytes fed so far are valid and end between two characters.
    bool complete() const { return state == accepting; }
    void reset() { state = accepting; }

    // One whole text, in one go.
    static bool valid(const uint8_t* data, size_t size) {
        Utf8Validator validator;
        return validator.feed(data, size) && validator.complete();
    }

    static constexpr uint8_t accepting = 0;
    static constexpr uint8_t rejected = 1;

private:
    uint8_t state = accepting;
};

}  // namespace relaymatrix::extensions::tidewire
