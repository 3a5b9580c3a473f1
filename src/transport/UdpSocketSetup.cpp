#include "transport/UdpSocketSetup.h"

#include <sys/socket.h>

#include <asio/ip/v6_only.hpp>

#include <stdexcept>
#include <system_error>

namespace relaymatrix::extensions::tidewire {

using asio::ip::udp;

asio::ip::address parseNumericAddress(const std::string& text, const std::string& what) {
    std::error_code ec;
    // IPv6 first: it also understands a "%scope" suffix.
    asio::ip::address address = asio::ip::make_address_v6(text, ec);
    if (ec) {
        address = asio::ip::make_address_v4(text, ec);
    }
    if (ec) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "UDPServer " + what + " is not a numeric address: " + text);
    }
    return address;
}

void openUdpSocket(udp::socket& socket, const UDPOptions& options, unsigned short port) {
    const asio::ip::address address =
        options.bindAddress.empty() ? asio::ip::address(asio::ip::address_v4::any())
                                    : parseNumericAddress(options.bindAddress, "bind address");
    const size_t maxSize = address.is_v6() ? kMaxUdpPayloadV6 : kMaxUdpPayloadV4;
    if (options.receiveSize == 0 || options.receiveSize > maxSize) {
        throw std::invalid_argument("UDPOptions receiveSize must be 1 to " +
                                    std::to_string(maxSize));
    }
    for (const size_t batch : {options.receiveBatch, options.sendBatch}) {
        if (batch == 0 || batch > kMaxUdpBatch) {
            throw std::invalid_argument("UDPOptions batch sizes must be 1 to " +
                                        std::to_string(kMaxUdpBatch));
        }
    }
    if (options.receiveBufferBytes < 0 || options.sendBufferBytes < 0) {
        throw std::invalid_argument("UDPOptions buffer sizes must not be negative");
    }
    socket.open(address.is_v6() ? udp::v6() : udp::v4());
    if (address.is_v6() && address.to_v6().is_unspecified()) {
        socket.set_option(asio::ip::v6_only(false));
    }
    if (options.receiveBufferBytes > 0) {
        socket.set_option(asio::socket_base::receive_buffer_size(options.receiveBufferBytes));
    }
    if (options.sendBufferBytes > 0) {
        socket.set_option(asio::socket_base::send_buffer_size(options.sendBufferBytes));
    }
    const int on = 1;
    if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        throw std::system_error(errno, std::system_category(), "UDPServer SO_RXQ_OVFL");
    }
    socket.bind(udp::endpoint(address, port));
}

udp::endpoint destinationFor(bool socketV6, const asio::ip::address& address, unsigned short port) {
    if (address.is_v4() && socketV6) {
        return udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()), port);
    }
    if (address.is_v6() && !socketV6) {
        return udp::endpoint(asio::ip::address_v4::any(), 0);
    }
    return udp::endpoint(address, port);
}

}  // namespace relaymatrix::extensions::tidewire
