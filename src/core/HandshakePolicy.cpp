#include "HandshakePolicy.h"

#include <algorithm>
#include <exception>

#include "HandshakeText.h"
#include "HeaderFieldCheck.h"

namespace relaymatrix::extensions::tidewire {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The refusal frames its body itself; a second length or type would make it ambiguous.
bool framesTheBody(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower == "content-length" || lower == "content-type" || lower == "transfer-encoding";
}

HandshakeDecision serverError(std::string& problem, std::string why) {
    problem = std::move(why);
    return HandshakeDecision::reject(500, "Internal Server Error");
}

// A hook's answer that could not go out as it stands refuses with 500.
HandshakeDecision checked(HandshakeDecision decision, const HandshakeRequest& request,
                          std::string& problem) {
    for (const HttpHeaders::Field& field : decision.headers.fields()) {
        std::string fault = headerFieldProblem(field.first, field.second);
        if (fault.empty() && framesTheBody(field.first)) {
            fault = "header \"" + field.first + "\" is set by the response";
        }
        if (!fault.empty()) {
            return serverError(problem, "Handshake hook header refused: " + fault);
        }
    }
    if (decision.accepted) {
        if (!decision.subprotocol.empty() && !contains(request.protocols, decision.subprotocol)) {
            return serverError(
                problem, "Handshake hook chose a subprotocol not offered: " + decision.subprotocol);
        }
    } else if (decision.status < 400 || decision.status > 599) {
        return serverError(problem,
                           "Handshake hook refused with status " + std::to_string(decision.status));
    }
    return decision;
}

}  // namespace

HandshakeRequest readHandshakeRequest(std::string_view headerBlock) {
    HandshakeRequest request;
    const std::string_view requestLine = headerBlock.substr(0, headerBlock.find('\n'));
    const size_t targetStart = requestLine.find(' ');
    if (targetStart != std::string_view::npos) {
        const std::string_view rest = requestLine.substr(targetStart + 1);
        request.target = std::string(rest.substr(0, rest.find_first_of(" \r")));
    }
    request.headers = readHeaderFields(headerBlock);
    for (const std::string& value : request.headers.all("Sec-WebSocket-Protocol")) {
        std::string_view list = value;
        while (!list.empty()) {
            const size_t comma = list.find(',');
            const std::string_view item = trimmed(list.substr(0, comma));
            if (!item.empty()) {
                request.protocols.emplace_back(item);
            }
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        }
    }
    return request;
}

HandshakeDecision decideHandshake(const HandshakePolicy& policy, const HandshakeRequest& request,
                                  std::string& problem) {
    if (!policy.allowedOrigins.empty() && !contains(policy.allowedOrigins, "*")) {
        const std::string* origin = request.headers.find("Origin");
        if (origin != nullptr && !contains(policy.allowedOrigins, *origin)) {
            return HandshakeDecision::reject(403, "Origin not allowed");
        }
    }
    HandshakeDecision decision;
    if (policy.hook) {
        try {
            decision = checked(policy.hook(request), request, problem);
        } catch (const std::exception& e) {
            return serverError(problem, std::string("Handshake hook exception: ") + e.what());
        } catch (...) {
            return serverError(problem, "Handshake hook exception: unknown");
        }
    }
    if (decision.accepted && decision.subprotocol.empty()) {
        for (const std::string& preferred : policy.subprotocols) {
            if (contains(request.protocols, preferred)) {
                decision.subprotocol = preferred;
                break;
            }
        }
    }
    return decision;
}

std::string statusText(int status) {
    const char* reason = "Error";
    switch (status) {
        case 400:
            reason = "Bad Request";
            break;
        case 401:
            reason = "Unauthorized";
            break;
        case 403:
            reason = "Forbidden";
            break;
        case 404:
            reason = "Not Found";
            break;
        case 429:
            reason = "Too Many Requests";
            break;
        case 500:
            reason = "Internal Server Error";
            break;
        case 503:
            reason = "Service Unavailable";
            break;
        default:
            break;
    }
    return std::to_string(status) + " " + reason;
}

std::string buildRefusalResponse(const HandshakeDecision& decision) {
    std::string response = "HTTP/1.1 " + statusText(decision.status) + "\r\n";
    response += "Connection: close\r\n";
    response += "Content-Type: text/plain\r\n";
    response += "Content-Length: " + std::to_string(decision.body.size()) + "\r\n";
    for (const HttpHeaders::Field& field : decision.headers.fields()) {
        response += field.first + ": " + field.second + "\r\n";
    }
    response += "\r\n";
    response += decision.body;
    return response;
}

}  // namespace relaymatrix::extensions::tidewire
