#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/Limits.h"
#include "tidewire/SessionIdentity.h"

namespace relaymatrix::extensions::tidewire {

// What the peer's Close frame says, as the host reads it from identity(): its status code
// (RFC 6455 7.1.5: 1005 when it carries none) and the reason text after it.
inline void noteCloseFrame(SessionIdentity& who, const std::vector<uint8_t>& payload) {
    who.closeCode = payload.size() >= 2 ? static_cast<uint16_t>(payload[0] << 8 | payload[1])
                                        : limits::closeStatusNone;
    who.closeReason.assign(payload.begin() + std::min<size_t>(payload.size(), 2), payload.end());
}

}  // namespace relaymatrix::extensions::tidewire
