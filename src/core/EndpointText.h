#pragma once

#include <asio/ip/basic_endpoint.hpp>
#include <sstream>
#include <string>

namespace relaymatrix::extensions::tidewire {

// An endpoint as log lines show it: "127.0.0.1:8080", "[::1]:8080".
template <class Protocol>
std::string endpointText(const asio::ip::basic_endpoint<Protocol>& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

}  // namespace relaymatrix::extensions::tidewire
