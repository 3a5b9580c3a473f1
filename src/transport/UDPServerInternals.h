#pragma once

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "core/ErrorTexts.h"
#include "relaymatrix/Logger.h"
#include "tidewire/UDPOptions.h"
#include "tidewire/UDPServer.h"
#include "transport/EventLoopThread.h"
#include "transport/UdpBatches.h"

namespace relaymatrix::extensions::tidewire {

constexpr size_t kMaxDatagramBytes = 1024;  // without options, larger datagrams are cut to this
// recvmmsg calls per wakeup before queued sends and other handlers get their turn.
constexpr size_t kReceiveCallsPerWakeup = 8;
// sendmmsg calls per turn of the loop before receives get theirs.
constexpr size_t kSendCallsPerTurn = 16;

}  // namespace relaymatrix::extensions::tidewire

struct UDPServer::Internals {
    using udp = asio::ip::udp;

    Internals(std::string remoteHost, int remotePort, int localPort, bool receiveOnly,
              const UDPOptions* options);

    // Options path, worker thread (UDPServerBatches.cpp).
    void awaitDatagrams();
    void receiveBatches();
    void deliver(size_t i);
    // Any thread: queues one datagram for the worker. Returns 0, send's started code.
    int queueDatagram(const char* data, size_t size, const udp::endpoint& to);
    void writeQueued();  // worker thread
    void reportSend(size_t bytesSent, const udp::endpoint& to, const std::error_code& ec);

    template <class Call>
    void callDelegate(const Call& call) {
        try {
            call();
        } catch (const std::exception& e) {
            relaymatrix::Logger::error(
                relaymatrix::extensions::tidewire::errorTexts::udpDelegateThrew + portText + ": " +
                e.what());
        } catch (...) {
            relaymatrix::Logger::error(
                relaymatrix::extensions::tidewire::errorTexts::udpDelegateThrew + portText);
        }
    }

    const std::string remoteHost;  // empty in receive-only mode
    const int remotePort;
    const int localPort;  // as given
    relaymatrix::extensions::tidewire::EventLoopThread loop;
    udp::socket socket;            // touched only on the worker thread once constructed
    udp::endpoint remoteEndpoint;  // never written after construction
    udp::endpoint remoteTarget;    // remoteEndpoint as this socket sends to it (v4-mapped on v6)
    udp::endpoint senderEndpoint;
    std::array<char, relaymatrix::extensions::tidewire::kMaxDatagramBytes> receiveBuffer{};
    std::array<char, relaymatrix::extensions::tidewire::kMaxDatagramBytes> messageBuffer{};
    size_t messageLength = 0;
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    const bool receiveOnly;
    std::atomic<bool> running{false};  // between start and stop; read by send on any thread

    unsigned short boundPort = 0;
    bool socketV6 = false;
    // localPort without options (as always shown), the bound port with them.
    std::string portText;
    // One receive is outstanding across stop/start cycles: a stopped loop keeps it
    // queued, so a restarted worker must not arm a second one. Worker thread only.
    bool receivePending = false;

    // Options path: set only when the server was built with options.
    const bool withOptions;
    bool allowSendTo = false;
    std::unique_ptr<relaymatrix::extensions::tidewire::UdpReceiveBatch> batch;
    uint32_t lastDropCounter = 0;  // worker only: the kernel's cumulative count
    std::atomic<uint64_t> droppedDatagrams{0};

    relaymatrix::extensions::tidewire::UdpSendQueue sendQueue;
    const relaymatrix::extensions::tidewire::UdpSendQueue::Report sendReport;
};
