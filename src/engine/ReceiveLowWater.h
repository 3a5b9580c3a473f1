#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cstddef>

#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

// The socket's receive low-water mark (SO_RCVLOWAT): while a large payload comes in, its
// reader is woken once a good part of what is still owed has arrived rather than for every
// segment, since on loopback and fast links a wakeup costs more than the bytes it brings.
// The mark never exceeds what the peer must still send, so a peer that has sent everything is
// always read; errors and the peer's FIN wake the reader whatever the mark.
class ReceiveLowWater {
public:
    // The mark for a read that waits for `owed` bytes the peer must still send (0: a read
    // that must see any byte, such as a header's), of which up to `held` may have been taken
    // off the socket already (by a TLS session).
    static int markFor(size_t owed, size_t held = 0) {
        const size_t coming = owed > held ? owed - held : 0;
        return coming < limits::readBufferBytes
                   ? 1
                   : static_cast<int>(std::min(coming, limits::receiveLowWaterBytes));
    }

    // Sets the mark when it differs from the one set last.
    void expect(asio::ip::tcp::socket& socket, size_t owed, size_t held = 0) {
        const int mark = markFor(owed, held);
        if (mark != current) {
            current = mark;
            ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
        }
    }

private:
    int current = 1;  // the socket's default
};

}  // namespace relaymatrix::extensions::tidewire
