#include "core/ClientTarget.h"

#include <cctype>

namespace relaymatrix::extensions::tidewire {

namespace {

bool equalsIgnoringCase(const std::string& text, const char* lower) {
    size_t i = 0;
    for (; i < text.size() && lower[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) {
            return false;
        }
    }
    return i == text.size() && lower[i] == '\0';
}

// The parser hands over digits only; leading zeros do not change the port ("0080" is 80).
bool isPortNumber(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos || digits.size() - first > 5) {
        return false;
    }
    return std::stoul(digits.substr(first)) <= 65535;
}

}  // namespace

ClientTarget clientTarget(const URL& url) {
    ClientTarget result;
    result.useTLS =
        equalsIgnoringCase(url.getScheme(), "wss") || equalsIgnoringCase(url.getScheme(), "https");
    result.host = url.getHost();
    result.port = !url.getPort().empty() ? url.getPort() : (result.useTLS ? "443" : "80");
    result.target = url.getPath().empty() ? "/" : url.getPath();
    if (!url.getQuery().empty()) {
        result.target += "?" + url.getQuery();
    }
    if (result.host.empty()) {
        result.problem = ClientTarget::Problem::emptyHost;
    } else if (!isPortNumber(result.port)) {
        result.problem = ClientTarget::Problem::portOutOfRange;
    }
    return result;
}

}  // namespace relaymatrix::extensions::tidewire
