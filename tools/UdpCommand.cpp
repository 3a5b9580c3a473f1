// `tidewire udp send HOST PORT` and `tidewire udp listen PORT`.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "tidewire/UDPServer.h"

namespace relaymatrix::extensions::tidewire::tool {

namespace {

// UDPServer::send only queues the datagram for the worker, and stopping the worker drops what
// it has not written yet; this grace lets the last lines leave before the tool stops it.
constexpr std::chrono::milliseconds sendGrace{200};

class LinePrinter : public UDPServerDelegate {
public:
    void onMessageReceived(const char* data, size_t size) override { printLine(data, size); }
};

int sendLines(const Arguments& arguments) {
    const std::string host = arguments.positional()[1];
    const unsigned short port = parsePort(arguments.positional()[2]);
    configureLogging(arguments.has("verbose"));
    std::unique_ptr<UDPServer> sender;
    try {
        sender = std::make_unique<UDPServer>(host, port, 0);
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::invalid_argument) {
            throw UsageError("HOST must be a numeric IPv4 or IPv6 address, not '" + host + "'");
        }
        std::fprintf(stderr, "tidewire: %s\n", e.what());
        return exitFailed;
    }
    sender->start();
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // a line ended CR LF
        }
        const int result = sender->send(line.data(), line.size());
        if (result != 0) {
            std::fprintf(stderr, "tidewire: datagram not sent (%d)\n", result);
            return exitFailed;
        }
    }
    std::this_thread::sleep_for(sendGrace);
    sender->stop();
    return exitDone;
}

int listen(const Arguments& arguments) {
    if (arguments.positional().size() != 2) {
        throw UsageError("udp listen takes one PORT");
    }
    const unsigned short port = parsePort(arguments.positional()[1]);
    configureLogging(arguments.has("verbose"));
    StopRequest stopRequest;  // before the server's worker thread exists
    LinePrinter printer;
    std::unique_ptr<UDPServer> receiver;
    try {
        receiver = std::make_unique<UDPServer>(port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tidewire: cannot listen on port %u: %s\n", port, e.what());
        return exitFailed;
    }
    receiver->setDelegate(&printer);
    receiver->start();
    std::printf("listening on %u\n", receiver->boundPort());
    std::fflush(stdout);
    stopRequest.wait(arguments.has("stdin-stop"));
    receiver->stop();
    receiver->setDelegate(nullptr);
    return exitDone;
}

}  // namespace

int runUdp(const std::vector<std::string>& words) {
    const Arguments arguments(words, {"verbose", "stdin-stop"}, {}, 2, 3);
    const std::string& mode = arguments.positional()[0];
    if (mode == "send" && arguments.positional().size() == 3) {
        return sendLines(arguments);
    }
    if (mode == "listen") {
        return listen(arguments);
    }
    throw UsageError("udp needs 'send HOST PORT' or 'listen PORT'");
}

}  // namespace relaymatrix::extensions::tidewire::tool
