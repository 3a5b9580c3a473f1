#pragma once

#include <cstddef>

#include "tidewire/UDPDatagram.h"

// Receives the datagrams a UDPServer accepts. Implemented by the host; the server
// never owns or deletes it.
class UDPServerDelegate {
public:
    // Called on the server's worker thread, one datagram at a time. `data` points into
    // the server's own buffer and is valid only during the call: copy what you keep.
    virtual void onMessageReceived(const char* data, size_t size) = 0;

    // Called instead of `onMessageReceived` by a server built with UDPOptions, on the worker
    // thread, one call per datagram in arrival order. It adds the sender (answer it with
    // `UDPServer::sendTo`) and the real length of a cut datagram. Not overridden, it passes
    // the kept bytes on to `onMessageReceived`.
    virtual void onDatagramReceived(const UDPDatagram& datagram) {
        onMessageReceived(datagram.data(), datagram.size());
    }

protected:
    ~UDPServerDelegate() = default;
};
