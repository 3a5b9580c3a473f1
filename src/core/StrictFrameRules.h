#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Utf8Validator.h"

namespace relaymatrix::extensions::tidewire {

// Why a strict endpoint fails a connection: the Close status to send and the text to report.
// A status of 0 means nothing is wrong.
struct StrictRefusal {
    uint16_t status = 0;
    const char* text = nullptr;
    explicit operator bool() const { return status != 0; }
};

// Strict mode: what RFC 6455 makes a peer's error among the frames that the default reader
// takes leniently (reserved bits and opcodes, fragmentation misuse, text that is not UTF-8,
// Close payloads). The bounds every connection applies are checked elsewhere. No I/O; one
// per connection, on its loop thread.
class StrictFrameRules {
public:
    // A complete frame, before it is handled. `extensionBits`: the reserved bits an agreed
    // extension gives a meaning (RSV1 with compression, whose own rule says where).
    StrictRefusal frame(uint8_t opcode, bool fin, uint8_t reservedBits, uint8_t extensionBits);
    // A data frame's payload as the host will get it (inflated): a text message must be
    // UTF-8. It fails at the frame where the bytes can no longer be valid text, not only at
    // the end of the message.
    StrictRefusal data(const uint8_t* payload, size_t size, bool fin);
    // A Close frame's payload: empty, or an allowed status code and a UTF-8 reason.
    static StrictRefusal close(const uint8_t* payload, size_t size);

private:
    bool messageOpen = false;  // a fragmented message has begun and not ended
    bool messageIsText = false;
    Utf8Validator text;
};

// Strict client: the server's response may name only a subprotocol that was offered, and
// only the extension that was offered (permessage-deflate, when compression is on). Returns
// the reason to refuse it, or nullptr.
const char* strictResponseProblem(const std::vector<std::string>& offeredProtocols,
                                  const std::string& chosenProtocol, bool compressionOffered,
                                  const std::vector<std::string>& extensionValues);

}  // namespace relaymatrix::extensions::tidewire
