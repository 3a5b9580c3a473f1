// The options path of UDPServer: batched receives with the sender, the real length and the
// kernel's drop count, and the send queue every mode writes through.
#include <sys/socket.h>

#include <cstring>

#include "core/EndpointText.h"
#include "core/LogThreshold.h"
#include "transport/UDPServerInternals.h"

namespace {

using asio::ip::udp;
using relaymatrix::extensions::tidewire::endpointText;
using relaymatrix::extensions::tidewire::LogLevel;
using relaymatrix::extensions::tidewire::logsAt;
namespace tidewire = relaymatrix::extensions::tidewire;
namespace errorTexts = relaymatrix::extensions::tidewire::errorTexts;

udp::endpoint endpointFrom(const void* address, size_t size) {
    udp::endpoint endpoint;
    const size_t kept = std::min(size, endpoint.capacity());
    std::memcpy(endpoint.data(), address, kept);
    endpoint.resize(kept);
    return endpoint;
}

// A v4-mapped destination of a dual-stack socket is shown as the IPv4 endpoint it is.
udp::endpoint shown(const udp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return udp::endpoint(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()),
                             endpoint.port());
    }
    return endpoint;
}

}  // namespace

std::string UDPDatagram::senderAddress() const {
    return tidewire::addressText(endpointFrom(sender, senderSize).address());
}

unsigned short UDPDatagram::senderPort() const {
    return endpointFrom(sender, senderSize).port();
}

void UDPServer::Internals::awaitDatagrams() {
    receivePending = true;
    socket.async_wait(udp::socket::wait_read, [this](const std::error_code& ec) {
        receivePending = false;
        if (ec) {
            relaymatrix::Logger::error(errorTexts::udpReceiveFailed + portText + ": " +
                                       ec.message());
            awaitDatagrams();
            return;
        }
        receiveBatches();
    });
}

void UDPServer::Internals::receiveBatches() {
    for (size_t call = 0; call < tidewire::kReceiveCallsPerWakeup; ++call) {
        std::error_code ec;
        const size_t count = batch->receive(socket.native_handle(), ec);
        if (ec) {
            relaymatrix::Logger::error(errorTexts::udpReceiveFailed + portText + ": " +
                                       ec.message());
        }
        for (size_t i = 0; i < count; ++i) {
            deliver(i);
        }
        // A short batch drained the socket: the next datagram wakes the reactor again.
        if (ec || count == 0 || count < batch->capacity()) {
            awaitDatagrams();
            return;
        }
    }
    receivePending = true;
    asio::post(loop.context(), [this] {
        receivePending = false;
        receiveBatches();
    });
}

void UDPServer::Internals::deliver(size_t i) {
    uint32_t counter = 0;
    if (batch->dropCounter(i, counter)) {
        // The kernel's counter is cumulative and wraps at 32 bits.
        droppedDatagrams.fetch_add(static_cast<uint32_t>(counter - lastDropCounter),
                                   std::memory_order_relaxed);
        lastDropCounter = counter;
    }
    if (!receiveOnly) {
        const udp::endpoint sender = endpointFrom(batch->sender(i), batch->senderSize(i));
        if (sender != remoteTarget) {
            relaymatrix::Logger::error(
                errorTexts::udpForeignSender + endpointText(shown(sender)) +
                " is different than specified: " + endpointText(remoteEndpoint));
            return;
        }
    }
    const size_t length = batch->length(i);
    const size_t kept = batch->kept(i);
    if (length == 0) {
        relaymatrix::Logger::error(errorTexts::udpZeroBytes);
        return;
    }
    if (length > kept && logsAt(LogLevel::error)) {
        relaymatrix::Logger::error(errorTexts::udpTruncated + std::to_string(length) +
                                   " bytes, kept " + std::to_string(kept));
    }
    const char* data = batch->data(i);
    if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("[UDPServer] Received message on port " + portText + ": " +
                                   std::string(data, kept));
    }
    UDPServerDelegate* current = delegate.load();
    if (current != nullptr) {
        const UDPDatagram datagram(data, kept, length, batch->sender(i), batch->senderSize(i));
        callDelegate([&] { current->onDatagramReceived(datagram); });
    }
}

int UDPServer::Internals::queueDatagram(const char* data, size_t size, const udp::endpoint& to) {
    if (sendQueue.push(data, size, to)) {
        asio::post(loop.context(), [this] { writeQueued(); });
    }
    return 0;
}

void UDPServer::Internals::writeQueued() {
    switch (sendQueue.write(socket.native_handle(), tidewire::kSendCallsPerTurn, sendReport)) {
        case tidewire::UdpSendQueue::Progress::idle:
            return;
        case tidewire::UdpSendQueue::Progress::blocked:
            // The error is the socket's (or the loop's shutdown): the next write reports it.
            socket.async_wait(udp::socket::wait_write,
                              [this](const std::error_code&) { writeQueued(); });
            return;
        case tidewire::UdpSendQueue::Progress::more:
            asio::post(loop.context(), [this] { writeQueued(); });
            return;
    }
}

void UDPServer::Internals::reportSend(size_t bytesSent, const udp::endpoint& to,
                                      const std::error_code& ec) {
    if (ec) {
        relaymatrix::Logger::error(errorTexts::udpSendFailed + portText + ": " + ec.message());
    } else if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("[UDPServer] Sent " + std::to_string(bytesSent) + " bytes to " +
                                   endpointText(to == remoteTarget ? remoteEndpoint : shown(to)));
    }
}
