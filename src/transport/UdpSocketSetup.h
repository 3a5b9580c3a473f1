#pragma once

#include <asio/ip/udp.hpp>
#include <string>

#include "tidewire/UDPOptions.h"

namespace relaymatrix::extensions::tidewire {

// Largest datagram payloads over IPv4 and IPv6: 65535 less the IP and UDP headers.
constexpr size_t kMaxUdpPayloadV4 = 65507;
constexpr size_t kMaxUdpPayloadV6 = 65527;
// More datagrams per system call hardly lowers the cost per datagram further, and the
// receive buffers (batch x receive size) stay a few MiB at most.
constexpr size_t kMaxUdpBatch = 64;

// A numeric IPv4 or IPv6 address (IPv6 may carry a "%scope"); no name lookup. Anything else
// throws std::system_error with EINVAL, naming `what`.
asio::ip::address parseNumericAddress(const std::string& text, const std::string& what);

// Opens `socket` and binds it as `options` ask, on `port`: checks the sizes
// (std::invalid_argument), sets the buffer sizes and asks the kernel to report its drop count
// with every datagram. Open and bind failures throw std::system_error.
void openUdpSocket(asio::ip::udp::socket& socket, const UDPOptions& options, unsigned short port);

// Where a socket (IPv6 or not) sends to reach `address`: an IPv4 address is v4-mapped on an
// IPv6 socket, the form in which that socket reports IPv4 senders, so a remote compares equal.
// Unspecified when an IPv4 socket cannot reach an IPv6 address.
asio::ip::udp::endpoint destinationFor(bool socketV6, const asio::ip::address& address,
                                       unsigned short port);

}  // namespace relaymatrix::extensions::tidewire
