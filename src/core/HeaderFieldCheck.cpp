#include "HeaderFieldCheck.h"

#include <cstring>

#include "tidewire/HttpHeaders.h"

namespace relaymatrix::extensions::tidewire {

namespace {

bool isTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

}  // namespace

bool isHandshakeHeader(std::string_view name) {
    static const HttpHeaders own = [] {
        HttpHeaders names;
        for (const char* field :
             {"Host", "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
              "Sec-WebSocket-Protocol", "Sec-WebSocket-Extensions", "Sec-WebSocket-Accept"}) {
            names.add(field, "");
        }
        return names;
    }();
    return own.contains(name);
}

std::string headerFieldProblem(std::string_view name, std::string_view value) {
    const std::string quoted = "\"" + std::string(name) + "\"";
    if (name.empty()) {
        return "empty header name";
    }
    for (const char c : name) {
        if (!isTokenChar(c)) {
            return "header name " + quoted + " is not a token";
        }
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        return "value of header " + quoted + " holds CR, LF or NUL";
    }
    if (isHandshakeHeader(name)) {
        return "header " + quoted + " is set by the handshake";
    }
    return "";
}

}  // namespace relaymatrix::extensions::tidewire
