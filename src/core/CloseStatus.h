#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Limits.h"
#include "core/Utf8Validator.h"
#include "tidewire/SessionIdentity.h"

namespace relaymatrix::extensions::tidewire {

// What the peer's Close frame says, as the host reads it from identity(): its status code
// (RFC 6455 7.1.5: 1005 when it carries none) and the reason text after it.
inline void noteCloseFrame(SessionIdentity& who, const std::vector<uint8_t>& payload) {
    who.closeCode = payload.size() >= 2 ? static_cast<uint16_t>(payload[0] << 8 | payload[1])
                                        : limits::closeStatusNone;
    who.closeReason.assign(payload.begin() + std::min<size_t>(payload.size(), 2), payload.end());
}

// A status code a peer may put in a Close frame (RFC 6455, 7.4): the registered codes that
// an endpoint may send, and the ranges for libraries (3000-3999) and applications
// (4000-4999). 1004-1006 and 1015 are never sent; 1012-1016 are left to later registration.
inline bool closeCodeAllowed(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
           (code >= 3000 && code <= 4999);
}

// What a strict endpoint makes of a Close frame's payload: empty, or a status code then a
// UTF-8 reason.
enum class ClosePayloadCheck { fine, protocolError, invalidText };

inline ClosePayloadCheck checkClosePayload(const uint8_t* data, size_t size) {
    if (size == 0) {
        return ClosePayloadCheck::fine;
    }
    if (size == 1 || !closeCodeAllowed(static_cast<uint16_t>(data[0] << 8 | data[1]))) {
        return ClosePayloadCheck::protocolError;
    }
    return Utf8Validator::valid(data + 2, size - 2) ? ClosePayloadCheck::fine
                                                    : ClosePayloadCheck::invalidText;
}

}  // namespace relaymatrix::extensions::tidewire
