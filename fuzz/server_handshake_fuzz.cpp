// Arbitrary bytes as what a client sends to a fresh server session: the request header block
// (read in chunks the input chooses), then frames. A block that ends within the header cap
// must be answered with exactly the 101 response for the key a literal reading of the block
// finds, the subprotocol lines logged as found, and the frames after it read as the reader
// model says; a longer block fails with the cap, a stream that ends first with the end of
// file, each as one "Handshake error" and nothing written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "HandshakeOracle.h"
#include "ReaderModel.h"

using namespace tidewire_fuzz;
using relaymatrix::testing::LogLevel;

namespace {

constexpr const char* tag = ServerSide::logPrefix;

void checkOneFailure(const RunResult& run, const std::string& context, const std::error_code& ec) {
    check(run.events.size() == 1 && run.events[0].kind == Event::Kind::Error &&
              run.events[0].text == context,
          "handshake failure not reported once");
    size_t errorLines = 0;
    for (const LogLine& line : run.logs) {
        if (line.level == LogLevel::error) {
            check(line.text == std::string(tag) + "Error: " + context + " - " + ec.message(),
                  "handshake error line");
            ++errorLines;
        }
    }
    check(errorLines == 1, "handshake error line count");
    check(run.closeCalls == 1, "handshake failure close count");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup setup;
    if (!parseSetup(data, size, setup)) {
        return 0;
    }
    const RunResult run =
        runConnection<ServerSide>(setup, FuzzConnection<ServerSide>::Start::Handshake);

    const size_t blockEnd = headerBlockEnd(setup.stream);
    if (blockEnd == std::string_view::npos || blockEnd > limits::maxHandshakeHeaderBytes) {
        const bool capped = setup.stream.size() >= limits::maxHandshakeHeaderBytes;
        checkOneFailure(run, "Handshake error",
                        capped ? make_error_code(asio::error::message_size)
                               : make_error_code(asio::error::eof));
        check(run.output.empty(), "answered a failed request");
        check(run.bytesRead <= limits::maxHandshakeHeaderBytes, "read past the header cap");
        return 0;
    }

    const std::string block(setup.stream.substr(0, blockEnd));
    check(run.handshakeBlock == block, "header block not cut at its empty line");
    const RequestOracle request = readRequest(block);
    const std::string response =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        generateAcceptKey(request.key) + "\r\n\r\n";

    std::vector<std::string> logged;
    const std::string requested = std::string(tag) + "Requested protocols: ";
    for (const LogLine& line : run.logs) {
        if (line.level == LogLevel::trace &&
            line.text.compare(0, requested.size(), requested) == 0) {
            logged.push_back(line.text.substr(requested.size()));
        }
    }
    check(logged == request.protocols, "requested protocols logged wrong");

    if (setup.failWriteAfter < response.size()) {
        checkOneFailure(run, "Handshake response error", asio::error::broken_pipe);
        check(run.output == bytesOf(std::string_view(response).substr(0, setup.failWriteAfter)),
              "partial response bytes");
        return 0;
    }
    check(run.output.size() >= response.size() &&
              std::equal(response.begin(), response.end(), run.output.begin()),
          "wrong 101 response");
    check(!run.events.empty() && run.events[0].kind == Event::Kind::Open, "not opened first");
    checkAgainstModel<ServerSide>(run, 1, response.size(), setup.stream.substr(blockEnd), setup);
    return 0;
}
