// `tidewire udp send HOST PORT` and `tidewire udp listen PORT`.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "tidewire/UDPServer.h"

namespace relaymatrix::extensions::tidewire::tool {

namespace {

// Datagrams taken or sent per system call: a burst of lines costs a few calls, not one each.
constexpr size_t kBatch = 16;

// Each datagram as a line; with `--from`, its sender and size first:
// "from 127.0.0.1:41234, 3 bytes: one" ("[::1]:41234" for IPv6; "cut from N" when cut).
class LinePrinter : public UDPServerDelegate {
public:
    explicit LinePrinter(bool showSender) : showSender(showSender) {}
    void onMessageReceived(const char* data, size_t size) override { printLine(data, size); }
    void onDatagramReceived(const UDPDatagram& datagram) override {
        if (!showSender) {
            printLine(datagram.data(), datagram.size());
            return;
        }
        const std::string address = datagram.senderAddress();
        std::string line =
            "from " + (address.find(':') == std::string::npos ? address : "[" + address + "]") +
            ":" + std::to_string(datagram.senderPort()) + ", " + std::to_string(datagram.size()) +
            " bytes";
        if (datagram.truncated()) {
            line += " (cut from " + std::to_string(datagram.length()) + ")";
        }
        line += ": " + std::string(datagram.data(), datagram.size());
        printLine(line.data(), line.size());
    }

private:
    const bool showSender;
};

int sendLines(const Arguments& arguments) {
    const std::string host = arguments.positional()[1];
    const unsigned short port = parsePort(arguments.positional()[2]);
    configureLogging(arguments.has("verbose"));
    std::unique_ptr<UDPServer> sender;
    try {
        // An IPv6 destination needs an IPv6 socket; "::" takes both families.
        UDPOptions options;
        options.bindAddress = host.find(':') == std::string::npos ? "" : "::";
        options.sendBatch = kBatch;
        sender = std::make_unique<UDPServer>(host, port, 0, options);
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
    // Every line handed to the kernel before the worker stops.
    const int flushed = sender->flush();
    sender->stop();
    if (flushed != 0) {
        std::fprintf(stderr, "tidewire: datagrams not flushed (%d)\n", flushed);
        return exitFailed;
    }
    return exitDone;
}

int listen(const Arguments& arguments) {
    if (arguments.positional().size() != 2) {
        throw UsageError("udp listen takes one PORT");
    }
    const unsigned short port = parsePort(arguments.positional()[1]);
    configureLogging(arguments.has("verbose"));
    StopRequest stopRequest;  // before the server's worker thread exists
    LinePrinter printer(arguments.has("from"));
    std::unique_ptr<UDPServer> receiver;
    try {
        // Whole datagrams of any size, so a line is never cut silently.
        UDPOptions options;
        options.bindAddress = arguments.last("bind");
        options.receiveSize = options.bindAddress.find(':') == std::string::npos ? 65507 : 65527;
        options.receiveBatch = kBatch;
        receiver = std::make_unique<UDPServer>(port, options);
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
    const Arguments arguments(words, {"verbose", "stdin-stop", "from"}, {"bind"}, 2, 3);
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
