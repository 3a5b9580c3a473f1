// Arbitrary bytes through every parser of untrusted text: the URL, the server's request
// reading and handshake decision, the client's response check and the header-block search
// (frames are fuzzed through the engine). The first byte chooses; none may crash, hang or read out
// of bounds, and a response check must either accept or say why not.
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/HandshakePolicy.h"
#include "core/HandshakeText.h"
#include "tidewire/URL.h"

using namespace relaymatrix::extensions::tidewire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        URL::parse(text);
    } catch (const std::invalid_argument&) {
    }
    parseClientHandshakeRequest(text);
    const HandshakeRequest request = readHandshakeRequest(text);
    std::string problem;
    const HandshakeDecision decision =
        decideHandshake({nullptr, {"https://a.example"}, {"chat", "x"}}, request, problem);
    if (!decision.subprotocol.empty() &&
        std::find(request.protocols.begin(), request.protocols.end(), decision.subprotocol) ==
            request.protocols.end()) {
        std::abort();  // only an offered subprotocol may be named
    }
    findHeaderBlockEnd(text);
    const ServerResponseCheck check =
        checkServerHandshakeResponse(text, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    if (check.accepted != check.failure.empty()) {
        std::abort();
    }
    return 0;
}
