#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/basic_endpoint.hpp>
#include <sstream>
#include <string>

namespace relaymatrix::extensions::tidewire {

// An endpoint as log lines show it, asio's own form: "127.0.0.1:8080", "[::1]:8080".
template <class Protocol>
std::string endpointText(const asio::ip::basic_endpoint<Protocol>& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// A peer's address for the host: an IP literal, IPv6 without brackets. An IPv4 peer of a
// dual-stack socket arrives as "::ffff:a.b.c.d" and is shown as the IPv4 address it is, so a
// host's address checks do not depend on how the socket was bound.
inline std::string addressText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

}  // namespace relaymatrix::extensions::tidewire
