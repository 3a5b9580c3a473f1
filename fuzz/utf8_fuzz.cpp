// The UTF-8 validator against a plain decoder written from RFC 3629: the same verdict for the
// whole text and for the text fed in two pieces, and a failure at the first byte after which
// no valid text is possible any more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/Utf8Validator.h"

namespace {

bool referenceValid(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size;) {
        const uint8_t b = data[i];
        // 9: never the first byte of a character
        const size_t tails = b < 0x80   ? 0
                             : b < 0xC0 ? 9
                             : b < 0xE0 ? 1
                             : b < 0xF0 ? 2
                             : b < 0xF8 ? 3
                                        : 9;
        if (tails == 9 || i + tails >= size)
            return false;
        uint32_t code = tails == 0 ? b : b & (0x3Fu >> tails);
        for (size_t k = 1; k <= tails; ++k) {
            if ((data[i + k] & 0xC0) != 0x80)
                return false;
            code = code << 6 | (data[i + k] & 0x3F);
        }
        const uint32_t least = tails == 0 ? 0 : tails == 1 ? 0x80 : tails == 2 ? 0x800 : 0x10000;
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += tails + 1;
    }
    return true;
}

// Some continuation makes the text valid: the first added byte at the edges of the ranges a
// second byte may be restricted to, the rest any continuation byte.
bool referenceContinuable(std::vector<uint8_t> text) {
    if (referenceValid(text.data(), text.size()))
        return true;
    const size_t size = text.size();
    for (const uint8_t first : {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF}) {
        text.resize(size);
        text.push_back(first);
        for (int more = 0; more < 3; ++more) {
            if (referenceValid(text.data(), text.size()))
                return true;
            text.push_back(0x80);
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using relaymatrix::extensions::tidewire::Utf8Validator;
    const bool valid = referenceValid(data, size);
    if (Utf8Validator::valid(data, size) != valid)
        std::abort();
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    Utf8Validator pieces;
    const bool fed = pieces.feed(data, cut) && pieces.feed(data + cut, size - cut);
    if ((fed && pieces.complete()) != valid)
        std::abort();
    Utf8Validator byByte;
    for (size_t i = 0; i < size && i < 64; ++i) {
        if (byByte.feed(data + i, 1) != referenceContinuable({data, data + i + 1}))
            std::abort();
    }
    return 0;
}
