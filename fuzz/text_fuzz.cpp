// Arbitrary bytes through every parser of untrusted text: the URL, the server's request
// reading, the client's response check and the header-block search (frames are fuzzed through
// the engine). The first byte chooses; none may crash, hang or read out of bounds, and each
// answer must agree with itself.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/HandshakeText.h"
#include "tidewire/URL.h"

using namespace relaymatrix::extensions::tidewire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            try {
                const URL url = URL::parse(text);
                if (url.getScheme().size() + url.getHost().size() + url.getPath().size() >
                    text.size())
                    std::abort();
            } catch (const std::invalid_argument&) {
                if (text.find('#') == std::string::npos)
                    std::abort();
            }
            break;
        case 1: {
            const ClientHandshakeRequest request = parseClientHandshakeRequest(text);
            if (request.key.size() > text.size())
                std::abort();
            break;
        }
        default: {
            const ServerResponseCheck check =
                checkServerHandshakeResponse(text, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
            if (check.accepted != check.failure.empty())
                std::abort();
            const size_t end = findHeaderBlockEnd(text);
            if (end != 0 && text.compare(end - 4, 4, "\r\n\r\n") != 0)
                std::abort();
            break;
        }
    }
    return 0;
}
