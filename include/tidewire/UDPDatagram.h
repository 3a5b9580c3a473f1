#pragma once

#include <cstddef>
#include <string>

// One received datagram as a server built with UDPOptions hands it to
// `UDPServerDelegate::onDatagramReceived`. It points into the server's receive buffers and is
// valid only during that call: copy what you keep.
class UDPDatagram {
public:
    UDPDatagram(const char* data, size_t size, size_t length, const void* sender, size_t senderSize)
        : bytes(data), keptSize(size), realLength(length), sender(sender), senderSize(senderSize) {}

    const char* data() const { return bytes; }
    // Bytes at `data()`: at most the server's receive size.
    size_t size() const { return keptSize; }
    // The datagram's real length, larger than `size()` when it was cut.
    size_t length() const { return realLength; }
    bool truncated() const { return realLength > keptSize; }

    // The sender as a numeric address without brackets ("192.0.2.7", "2001:db8::1"); an IPv4
    // sender of a dual-stack socket shows as its IPv4 address. Formatted on each call.
    std::string senderAddress() const;
    unsigned short senderPort() const;

private:
    const char* bytes;
    size_t keptSize;
    size_t realLength;
    const void* sender;  // the kernel's sockaddr of the sender, senderSize bytes
    size_t senderSize;
};
