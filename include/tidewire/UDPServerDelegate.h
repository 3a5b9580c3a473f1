#pragma once

#include <cstddef>

// Receives the datagrams a UDPServer accepts. Implemented by the host; the server
// never owns or deletes it.
class UDPServerDelegate {
public:
    // Called on the server's worker thread, one datagram at a time. `data` points into
    // the server's own buffer and is valid only during the call: copy what you keep.
    virtual void onMessageReceived(const char* data, size_t size) = 0;

protected:
    ~UDPServerDelegate() = default;
};
