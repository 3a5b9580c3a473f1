#include "HandshakeText.h"

#include "ErrorTexts.h"
#include "tidewire/Handshake.h"

namespace relaymatrix::extensions::tidewire {

namespace {

constexpr std::string_view headerDelimiter = "\r\n\r\n";

// Whitespace as the "C" locale's isspace sees it; what a formatted string read skips.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads a header block the way a text input stream would: whitespace-delimited tokens and
// LF-terminated lines (LF dropped, CR kept). Like a stream, it fails for good once a read
// finds no input.
class HeaderReader {
public:
    explicit HeaderReader(std::string_view text) : text(text) {}

    bool token(std::string& out) {
        out.clear();
        if (failed) {
            return false;
        }
        while (position < text.size() && isBlank(text[position])) {
            ++position;
        }
        if (position == text.size()) {
            failed = true;
            return false;
        }
        const size_t start = position;
        while (position < text.size() && !isBlank(text[position])) {
            ++position;
        }
        out.assign(text.substr(start, position - start));
        return true;
    }

    bool line(std::string_view& out) {
        out = {};
        if (failed || position == text.size()) {
            failed = true;
            return false;
        }
        const size_t end = text.find('\n', position);
        if (end == std::string_view::npos) {
            out = text.substr(position);
            position = text.size();
        } else {
            out = text.substr(position, end - position);
            position = end + 1;
        }
        return true;
    }

private:
    std::string_view text;
    size_t position = 0;
    bool failed = false;
};

// Case-insensitive search for `name` (which ends in ": ") anywhere in `line`; on a hit,
// `value` is what follows it up to the first CR.
bool findHeaderValue(std::string_view line, std::string_view name, std::string& value) {
    if (line.size() < name.size()) {
        return false;
    }
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

}  // namespace

size_t findHeaderBlockEnd(std::string_view bytes) {
    const size_t at = bytes.find(headerDelimiter);
    return at == std::string_view::npos ? 0 : at + headerDelimiter.size();
}

std::string buildClientHandshakeRequest(const std::string& target, const std::string& host,
                                        const std::string& key,
                                        const std::vector<std::string>& protocols,
                                        const HttpHeaders& extraHeaders) {
    std::string request;
    request.reserve(160 + target.size() + host.size() + key.size());
    request += "GET ";
    request += target;
    request += " HTTP/1.1\r\n";
    request += "Host: ";
    request += host;
    request += "\r\n";
    request += "Upgrade: websocket\r\n";
    request += "Connection: keep-alive, Upgrade\r\n";
    request += "Sec-WebSocket-Key: ";
    request += key;
    request += "\r\n";
    request += "Sec-WebSocket-Version: 13\r\n";
    if (!protocols.empty()) {
        request += "Sec-WebSocket-Protocol: ";
        for (size_t i = 0; i < protocols.size(); ++i) {
            if (i != 0) {
                request += ", ";
            }
            request += protocols[i];
        }
        request += "\r\n";
    }
    for (const HttpHeaders::Field& field : extraHeaders.fields()) {
        request += field.first;
        request += ": ";
        request += field.second;
        request += "\r\n";
    }
    request += "\r\n";
    return request;
}

ServerResponseCheck checkServerHandshakeResponse(std::string_view headerBlock,
                                                 const std::string& expectedAccept) {
    ServerResponseCheck result;
    HeaderReader reader(headerBlock);

    std::string version;
    std::string status;
    std::string_view restOfStatusLine;
    if (reader.token(version) && reader.token(status)) {
        reader.line(restOfStatusLine);
    }
    if (version.compare(0, 5, "HTTP/") != 0 || version.size() < 5 || status != "101") {
        result.failure = std::string(errorTexts::handshakeValidation) +
                         "Invalid HTTP response or status code: " + version + " " + status + " " +
                         std::string(restOfStatusLine);
        return result;
    }

    std::string accept;
    std::string value;
    std::string_view line;
    while (reader.line(line) && line != "\r") {
        if (findHeaderValue(line, "Sec-WebSocket-Accept: ", value)) {
            accept = value;
        } else if (findHeaderValue(line, "Sec-WebSocket-Protocol: ", value)) {
            result.protocols.push_back(value);
        }
    }

    if (accept.empty()) {
        result.failure = std::string(errorTexts::handshakeValidation) +
                         "Missing Sec-WebSocket-Accept in response";
    } else if (accept != expectedAccept) {
        result.failure = errorTexts::handshakeValidation +
                         std::string("Invalid Sec-WebSocket-Accept: " + accept) +
                         " expected: " + expectedAccept;
    } else {
        result.accepted = true;
    }
    return result;
}

ClientHandshakeRequest parseClientHandshakeRequest(std::string_view headerBlock) {
    ClientHandshakeRequest request;
    HeaderReader reader(headerBlock);
    std::string_view line;
    reader.line(line);  // the request line: method, target, version unread
    std::string value;
    while (reader.line(line) && line != "\r") {
        if (findHeaderValue(line, "Sec-WebSocket-Key: ", value)) {
            request.key = value;
        } else if (findHeaderValue(line, "Sec-WebSocket-Protocol: ", value)) {
            request.requestedProtocols.push_back(value);
        }
    }
    return request;
}

HttpHeaders readHeaderFields(std::string_view headerBlock) {
    HttpHeaders headers;
    HeaderReader reader(headerBlock);
    std::string_view line;
    reader.line(line);  // request or status line
    while (reader.line(line) && line != "\r" && !line.empty()) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && isBlank(value.front())) {
            value.remove_prefix(1);
        }
        while (!value.empty() && isBlank(value.back())) {
            value.remove_suffix(1);
        }
        headers.add(std::string(line.substr(0, colon)), std::string(value));
    }
    return headers;
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

std::string buildServerHandshakeResponse(const std::string& key, const std::string& subprotocol,
                                         const HttpHeaders& extraHeaders) {
    std::string response = buildServerHandshakeResponse(key);
    response.resize(response.size() - 2);  // reopen the header block
    if (!subprotocol.empty()) {
        response += "Sec-WebSocket-Protocol: " + subprotocol + "\r\n";
    }
    for (const HttpHeaders::Field& field : extraHeaders.fields()) {
        response += field.first + ": " + field.second + "\r\n";
    }
    response += "\r\n";
    return response;
}

}  // namespace relaymatrix::extensions::tidewire
