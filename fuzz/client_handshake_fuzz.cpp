// Arbitrary bytes as what a server answers to the client's upgrade request with a fixed key:
// the response header block (read in chunks the input chooses), then frames. The library's
// response check must give the same verdict, failure text and subprotocols as a literal
// reading with an input stream and regular expressions, on the block and on the raw input;
// the client must send its request byte for byte, open only on an accepted block and read
// the frames after it as the reader model says, or report the one failure and close.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "HandshakeOracle.h"
#include "ReaderModel.h"

using namespace tidewire_fuzz;
using relaymatrix::testing::LogLevel;

namespace {

constexpr const char* tag = ClientSide::logPrefix;

// The library's check and the literal reading agree on `text`.
ServerResponseCheck checkResponse(const std::string& text, const std::string& expectedAccept) {
    const ServerResponseCheck result = checkServerHandshakeResponse(text, expectedAccept);
    const ResponseOracle oracle = readResponse(text, expectedAccept);
    check(result.accepted == oracle.accepted, "verdict differs from the literal reading");
    check(result.failure == oracle.failure, "failure text differs from the literal reading");
    check(result.protocols == oracle.protocols, "subprotocols differ from the literal reading");
    return result;
}

void checkOpeningFailure(const RunResult& run, const std::string& text,
                         const std::string& errorLine) {
    check(run.events.size() == 1 && run.events[0].kind == Event::Kind::Error &&
              run.events[0].text == text,
          "opening failure not reported once");
    size_t errorLines = 0;
    for (const LogLine& line : run.logs) {
        if (line.level == LogLevel::error) {
            check(line.text == std::string(tag) + errorLine, "opening error line");
            ++errorLines;
        }
    }
    check(errorLines == 1, "opening error line count");
    check(run.closeCalls == 1, "opening failure close count");
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
    const std::string expectedAccept = generateAcceptKey(fixedClientKey());
    if (setup.stream.size() <= 4096) {
        checkResponse(std::string(setup.stream), expectedAccept);
    }

    const RunResult run =
        runConnection<ClientSide>(setup, FuzzConnection<ClientSide>::Start::Handshake);
    const std::string& request = fixedClientRequest();
    if (setup.failWriteAfter < request.size()) {
        const std::string message = std::error_code(asio::error::broken_pipe).message();
        checkOpeningFailure(run, message, "Handshake request error: " + message);
        check(run.output == bytesOf(std::string_view(request).substr(0, setup.failWriteAfter)),
              "partial request bytes");
        return 0;
    }
    check(run.output.size() >= request.size() &&
              std::equal(request.begin(), request.end(), run.output.begin()),
          "wrong upgrade request");

    const size_t blockEnd = headerBlockEnd(setup.stream);
    if (blockEnd == std::string_view::npos || blockEnd > limits::maxHandshakeHeaderBytes) {
        const bool capped = setup.stream.size() >= limits::maxHandshakeHeaderBytes;
        const std::string message = (capped ? make_error_code(asio::error::message_size)
                                            : make_error_code(asio::error::eof))
                                        .message();
        checkOpeningFailure(run, message, "Handshake response error: " + message);
        check(run.output.size() == request.size(), "wrote more than the request");
        check(run.bytesRead <= limits::maxHandshakeHeaderBytes, "read past the header cap");
        return 0;
    }

    const std::string block(setup.stream.substr(0, blockEnd));
    check(run.handshakeBlock == block, "header block not cut at its empty line");
    const ServerResponseCheck verdict = checkResponse(block, expectedAccept);

    std::vector<std::string> logged;
    const std::string negotiated = std::string(tag) + "Negotiated protocol: ";
    for (const LogLine& line : run.logs) {
        if (line.level == LogLevel::debug &&
            line.text.compare(0, negotiated.size(), negotiated) == 0) {
            logged.push_back(line.text.substr(negotiated.size()));
        }
    }
    check(logged == verdict.protocols, "negotiated protocols logged wrong");

    if (!verdict.accepted) {
        checkOpeningFailure(run, verdict.failure, verdict.failure);
        check(run.output.size() == request.size(), "wrote more than the request");
        return 0;
    }
    check(!run.events.empty() && run.events[0].kind == Event::Kind::Open, "not opened first");
    checkAgainstModel<ClientSide>(run, 1, request.size(), setup.stream.substr(blockEnd), setup);
    return 0;
}
