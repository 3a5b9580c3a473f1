#include "ServerHandshake.h"

#include "tidewire/Handshake.h"

namespace relaymatrix::extensions::tidewire {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive search for `name` anywhere in `line`; on a hit, `value` becomes what
// follows the first occurrence, up to the first CR (a header value never spans lines).
bool findHeaderValue(std::string_view line, std::string_view name, std::string& value) {
    for (size_t start = 0; start + name.size() <= line.size(); ++start) {
        size_t i = 0;
        while (i < name.size() && lowerAscii(line[start + i]) == lowerAscii(name[i])) {
            ++i;
        }
        if (i == name.size()) {
            const std::string_view rest = line.substr(start + name.size());
            value.assign(rest.substr(0, rest.find('\r')));
            return true;
        }
    }
    return false;
}

// Next LF-terminated line of `text` from `position` (LF dropped); a last line without LF is
// taken whole. False once the input is used up.
bool nextLine(std::string_view text, size_t& position, std::string_view& line) {
    if (position >= text.size()) {
        return false;
    }
    const size_t end = text.find('\n', position);
    if (end == std::string_view::npos) {
        line = text.substr(position);
        position = text.size();
    } else {
        line = text.substr(position, end - position);
        position = end + 1;
    }
    return true;
}

}  // namespace

ClientHandshakeRequest parseClientHandshakeRequest(std::string_view headerBlock) {
    ClientHandshakeRequest request;
    size_t position = 0;
    std::string_view line;
    nextLine(headerBlock, position, line);  // the request line: method, target, version unread
    std::string value;
    while (nextLine(headerBlock, position, line) && line != "\r") {
        if (findHeaderValue(line, "Sec-WebSocket-Key: ", value)) {
            request.key = value;
        } else if (findHeaderValue(line, "Sec-WebSocket-Protocol: ", value)) {
            request.requestedProtocols.push_back(value);
        }
    }
    return request;
}

std::string buildServerHandshakeResponse(const std::string& key) {
    const std::string accept = generateAcceptKey(key);
    std::string response;
    response.reserve(101 + accept.size());
    response += "HTTP/1.1 101 Switching Protocols\r\n";
    response += "Upgrade: websocket\r\n";
    response += "Connection: Upgrade\r\n";
    response += "Sec-WebSocket-Accept: ";
    response += accept;
    response += "\r\n\r\n";
    return response;
}

}  // namespace relaymatrix::extensions::tidewire
