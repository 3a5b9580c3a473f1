#include "tidewire/UDPServer.h"

#include <algorithm>
#include <memory>

#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"
#include "transport/UDPServerInternals.h"
#include "transport/UdpSocketSetup.h"

namespace {

using asio::ip::udp;
using relaymatrix::extensions::tidewire::endpointText;
using relaymatrix::extensions::tidewire::LogLevel;
using relaymatrix::extensions::tidewire::logsAt;
namespace tidewire = relaymatrix::extensions::tidewire;
namespace errorTexts = relaymatrix::extensions::tidewire::errorTexts;

}  // namespace

UDPServer::Internals::Internals(std::string remoteHost, int remotePort, int localPort,
                                bool receiveOnly, const UDPOptions* options)
    : remoteHost(std::move(remoteHost)),
      remotePort(remotePort),
      localPort(localPort),
      loop(errorTexts::udpWorkerException + std::to_string(localPort) + ": "),
      socket(loop.context()),
      remoteEndpoint(udp::v4(), 0),
      senderEndpoint(udp::v4(), 0),
      receiveOnly(receiveOnly),
      withOptions(options != nullptr),
      sendQueue(options != nullptr ? options->sendBatch : 1),
      sendReport([this](size_t bytesSent, const udp::endpoint& to, const std::error_code& ec) {
          reportSend(bytesSent, to, ec);
      }) {
    const auto port = static_cast<unsigned short>(localPort);
    if (options != nullptr) {
        tidewire::openUdpSocket(socket, *options, port);
        allowSendTo = options->allowSendTo;
        batch = std::make_unique<tidewire::UdpReceiveBatch>(options->receiveBatch,
                                                            options->receiveSize);
    } else {
        socket.open(udp::v4());
        socket.bind(udp::endpoint(asio::ip::address_v4::any(), port));
    }
    boundPort = socket.local_endpoint().port();
    socketV6 = socket.local_endpoint().address().is_v6();
    portText = std::to_string(options != nullptr ? boundPort : localPort);
    if (!receiveOnly) {
        remoteEndpoint =
            udp::endpoint(tidewire::parseNumericAddress(this->remoteHost, "remote host"),
                          static_cast<unsigned short>(remotePort));
    }
    remoteTarget = remoteEndpoint;
    if (options != nullptr && socketV6 && remoteEndpoint.address().is_v4()) {
        remoteTarget =
            tidewire::destinationFor(true, remoteEndpoint.address(), remoteEndpoint.port());
    }
}

UDPServer::UDPServer(int port)
    : internals(std::make_unique<Internals>(std::string(), 0, port, true, nullptr)) {}

UDPServer::UDPServer(const std::string& remoteHost, int remotePort, int localPort)
    : internals(std::make_unique<Internals>(remoteHost, remotePort, localPort, false, nullptr)) {}

UDPServer::UDPServer(int port, const UDPOptions& options)
    : internals(std::make_unique<Internals>(std::string(), 0, port, true, &options)) {}

UDPServer::UDPServer(const std::string& remoteHost, int remotePort, int localPort,
                     const UDPOptions& options)
    : internals(std::make_unique<Internals>(remoteHost, remotePort, localPort, false, &options)) {}

UDPServer::~UDPServer() {
    stop();
}

void UDPServer::start() {
    if (internals->running.load()) {
        return;
    }
    if (logsAt(LogLevel::info)) {
        relaymatrix::Logger::info("[UDPServer] Starting on port " + internals->portText);
    }
    // Queued before the worker starts; a receive left pending by an earlier stop is reused.
    asio::post(internals->loop.context(), [this] {
        if (!internals->receivePending) {
            receive();
        }
    });
    internals->sendQueue.setOpen(true);
    // Running before the worker runs: a delegate that answers the first datagram, already
    // waiting in the socket, must not be refused as stopped.
    internals->running.store(true);
    internals->loop.start();
}

void UDPServer::stop() {
    if (logsAt(LogLevel::info)) {
        relaymatrix::Logger::info("[UDPServer] Stopping on port " + internals->portText);
    }
    internals->running.store(false);
    internals->sendQueue.setOpen(false);
    internals->loop.stop();
}

int UDPServer::send(const char* data, size_t size) {
    Internals& in = *internals;
    if (in.receiveOnly) {
        relaymatrix::Logger::error(errorTexts::udpSendOnReceiveOnly);
        return 1;
    }
    if (!in.running.load()) {
        relaymatrix::Logger::error(errorTexts::udpSendWhileStopped);
        return 2;
    }
    if (in.remoteEndpoint.address().is_unspecified()) {
        relaymatrix::Logger::error(errorTexts::udpNoRemote);
        return 3;
    }
    if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("[UDPServer] Sending message on port " + in.portText + " to " +
                                   endpointText(in.remoteEndpoint));
    }
    return in.queueDatagram(data, size, in.remoteTarget);
}

int UDPServer::sendTo(const std::string& address, int port, const char* data, size_t size) {
    Internals& in = *internals;
    if (!in.allowSendTo) {
        relaymatrix::Logger::error(errorTexts::udpSendToNotAllowed);
        return 1;
    }
    if (!in.running.load()) {
        relaymatrix::Logger::error(errorTexts::udpSendWhileStopped);
        return 2;
    }
    std::error_code ec;
    const asio::ip::address parsed = asio::ip::make_address(address, ec);
    const udp::endpoint to =
        ec || port < 1 || port > 65535
            ? udp::endpoint()
            : tidewire::destinationFor(in.socketV6, parsed, static_cast<unsigned short>(port));
    if (to.address().is_unspecified()) {
        relaymatrix::Logger::error(errorTexts::udpBadDestination + address + " port " +
                                   std::to_string(port));
        return 4;
    }
    if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("[UDPServer] Sending message on port " + in.portText + " to " +
                                   endpointText(udp::endpoint(parsed, to.port())));
    }
    return in.queueDatagram(data, size, to);
}

int UDPServer::flush() {
    Internals& in = *internals;
    if (in.loop.context().get_executor().running_in_this_thread()) {
        relaymatrix::Logger::error(errorTexts::udpFlushOnWorker);
        return 5;
    }
    if (!in.running.load()) {
        relaymatrix::Logger::error(errorTexts::udpFlushWhileStopped);
        return 2;
    }
    return in.sendQueue.waitHandled() ? 0 : 2;
}

uint64_t UDPServer::droppedDatagrams() const {
    return internals->droppedDatagrams.load(std::memory_order_relaxed);
}

UDPServerDelegate* UDPServer::getDelegate() {
    return internals->delegate.load();
}

void UDPServer::setDelegate(UDPServerDelegate* delegate) {
    internals->delegate.store(delegate);
}

unsigned short UDPServer::boundPort() const {
    return internals->boundPort;
}

void UDPServer::receive() {
    Internals& in = *internals;
    if (in.withOptions) {
        in.awaitDatagrams();
        return;
    }
    in.receivePending = true;
    in.socket.async_receive_from(
        asio::buffer(in.receiveBuffer), in.senderEndpoint,
        [this](const std::error_code& ec, size_t bytesReceived) {
            Internals& in = *internals;
            in.receivePending = false;
            if (ec) {
                relaymatrix::Logger::error(errorTexts::udpReceiveFailed + in.portText + ": " +
                                           ec.message());
            } else if (!in.receiveOnly && in.senderEndpoint != in.remoteEndpoint) {
                relaymatrix::Logger::error(
                    errorTexts::udpForeignSender + endpointText(in.senderEndpoint) +
                    " is different than specified: " + endpointText(in.remoteEndpoint));
            } else if (bytesReceived == 0) {
                relaymatrix::Logger::error(errorTexts::udpZeroBytes);
            } else {
                in.messageLength = bytesReceived;
                std::copy_n(in.receiveBuffer.data(), bytesReceived, in.messageBuffer.data());
                reportMessage(in.messageBuffer.data(), in.messageLength);
            }
            receive();
        });
}

void UDPServer::reportMessage(const char* data, size_t size) {
    if (logsAt(LogLevel::debug)) {
        relaymatrix::Logger::debug("[UDPServer] Received message on port " + internals->portText +
                                   ": " + std::string(data, size));
    }
    UDPServerDelegate* delegate = internals->delegate.load();
    if (delegate != nullptr) {
        internals->callDelegate([&] { delegate->onMessageReceived(data, size); });
    }
}
