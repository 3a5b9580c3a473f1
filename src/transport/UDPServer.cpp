#include "tidewire/UDPServer.h"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <exception>
#include <memory>
#include <vector>

#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/LogThreshold.h"
#include "relaymatrix/Logger.h"
#include "transport/EventLoopThread.h"

namespace {

using asio::ip::udp;
using relaymatrix::extensions::tidewire::endpointText;
using relaymatrix::extensions::tidewire::EventLoopThread;
using relaymatrix::extensions::tidewire::LogLevel;
using relaymatrix::extensions::tidewire::logsAt;
namespace errorTexts = relaymatrix::extensions::tidewire::errorTexts;

constexpr size_t kMaxDatagramBytes = 1024;  // larger datagrams are cut to this size

udp::endpoint parseRemoteEndpoint(const std::string& host, int port) {
    std::error_code ec;
    // IPv6 first: it also understands a "%scope" suffix.
    asio::ip::address address = asio::ip::make_address_v6(host, ec);
    if (ec) {
        address = asio::ip::make_address_v4(host, ec);
    }
    if (ec) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "UDPServer remote host is not a numeric address: " + host);
    }
    return udp::endpoint(address, static_cast<unsigned short>(port));
}

}  // namespace

struct UDPServer::Internals {
    Internals(std::string remoteHost, int remotePort, int localPort, bool receiveOnly)
        : remoteHost(std::move(remoteHost)),
          remotePort(remotePort),
          localPort(localPort),
          loop(errorTexts::udpWorkerException + std::to_string(localPort) + ": "),
          socket(loop.context()),
          remoteEndpoint(udp::v4(), 0),
          senderEndpoint(udp::v4(), 0),
          receiveOnly(receiveOnly) {
        socket.open(udp::v4());
        socket.bind(
            udp::endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(localPort)));
        boundPort = socket.local_endpoint().port();
        if (!receiveOnly) {
            remoteEndpoint = parseRemoteEndpoint(this->remoteHost, remotePort);
        }
    }

    const std::string remoteHost;  // empty in receive-only mode
    const int remotePort;
    const int localPort;  // as given, shown in log lines
    EventLoopThread loop;
    udp::socket socket;            // touched only on the worker thread once constructed
    udp::endpoint remoteEndpoint;  // never written after construction
    udp::endpoint senderEndpoint;
    std::array<char, kMaxDatagramBytes> receiveBuffer{};
    std::array<char, kMaxDatagramBytes> messageBuffer{};
    size_t messageLength = 0;
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    const bool receiveOnly;
    std::atomic<bool> running{false};  // between start and stop; read by send on any thread

    unsigned short boundPort = 0;
    // One receive is outstanding across stop/start cycles: a stopped loop keeps it
    // queued, so a restarted worker must not arm a second one. Worker thread only.
    bool receivePending = false;

    std::string portText() const { return std::to_string(localPort); }
};

UDPServer::UDPServer(int port)
    : internals(std::make_unique<Internals>(std::string(), 0, port, true)) {}

UDPServer::UDPServer(const std::string& remoteHost, int remotePort, int localPort)
    : internals(std::make_unique<Internals>(remoteHost, remotePort, localPort, false)) {}

UDPServer::~UDPServer() {
    stop();
}

void UDPServer::start() {
    if (internals->running.load()) {
        return;
    }
    if (logsAt(LogLevel::info)) {
        relaymatrix::Logger::info("[UDPServer] Starting on port " + internals->portText());
    }
    // Queued before the worker starts; a receive left pending by an earlier stop is reused.
    asio::post(internals->loop.context(), [this] {
        if (!internals->receivePending) {
            receive();
        }
    });
    internals->loop.start();
    internals->running.store(true);
}

void UDPServer::stop() {
    if (logsAt(LogLevel::info)) {
        relaymatrix::Logger::info("[UDPServer] Stopping on port " + internals->portText());
    }
    internals->running.store(false);
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
        relaymatrix::Logger::debug("[UDPServer] Sending message on port " + in.portText() + " to " +
                                   endpointText(in.remoteEndpoint));
    }
    // The pending send owns a copy, and the socket is only ever used on the worker.
    auto payload = std::make_shared<std::vector<char>>(data, data + size);
    asio::post(in.loop.context(), [this, payload] {
        Internals& in = *internals;
        in.socket.async_send_to(
            asio::buffer(*payload), in.remoteEndpoint,
            [this, payload](const std::error_code& ec, size_t bytesSent) {
                Internals& in = *internals;
                if (ec) {
                    relaymatrix::Logger::error(errorTexts::udpSendFailed + in.portText() + ": " +
                                               ec.message());
                    return;
                }
                if (logsAt(LogLevel::debug)) {
                    relaymatrix::Logger::debug("[UDPServer] Sent " + std::to_string(bytesSent) +
                                               " bytes to " + endpointText(in.remoteEndpoint));
                }
            });
    });
    return 0;
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
    in.receivePending = true;
    in.socket.async_receive_from(
        asio::buffer(in.receiveBuffer), in.senderEndpoint,
        [this](const std::error_code& ec, size_t bytesReceived) {
            Internals& in = *internals;
            in.receivePending = false;
            if (ec) {
                relaymatrix::Logger::error(errorTexts::udpReceiveFailed + in.portText() + ": " +
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
        relaymatrix::Logger::debug("[UDPServer] Received message on port " + internals->portText() +
                                   ": " + std::string(data, size));
    }
    UDPServerDelegate* delegate = internals->delegate.load();
    if (delegate == nullptr) {
        return;
    }
    try {
        delegate->onMessageReceived(data, size);
    } catch (const std::exception& e) {
        relaymatrix::Logger::error(errorTexts::udpDelegateThrew + internals->portText() + ": " +
                                   e.what());
    } catch (...) {
        relaymatrix::Logger::error(errorTexts::udpDelegateThrew + internals->portText());
    }
}
