#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>

#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

// The socket's receive low-water mark (SO_RCVLOWAT): while a large payload comes in, its
// reader is woken once a good part of what is still owed has arrived rather than for every
// segment, since on loopback and fast links a wakeup costs more than the bytes it brings.
// The mark never exceeds what the peer must still send before it may send anything else, so
// a peer that has sent everything is always read; errors and the peer's FIN wake the reader
// whatever the mark.
class ReceiveLowWater {
public:
    // The mark for a read that waits for `owed` more bytes of payload (0: a read that must see
    // any byte, such as a header's), and never above `ceiling`: under TLS, what the record in
    // progress still lacks, since the record after it may be one that is not payload at all.
    static int markFor(size_t owed, size_t ceiling = SIZE_MAX) {
        if (owed < limits::readBufferBytes) {
            return 1;
        }
        const size_t mark = std::min({owed, ceiling, limits::receiveLowWaterBytes});
        return mark == 0 ? 1 : static_cast<int>(mark);
    }

    // Sets the mark when it differs from the one set last.
    void expect(asio::ip::tcp::socket& socket, size_t owed, size_t ceiling = SIZE_MAX) {
        const int mark = markFor(owed, ceiling);
        if (mark != current) {
            current = mark;
            ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
        }
    }

private:
    int current = 1;  // the socket's default
};

}  // namespace relaymatrix::extensions::tidewire
