#include "tidewire/URL.h"

#include <algorithm>
#include <stdexcept>

namespace relaymatrix::extensions::tidewire {

// The text is split exactly as the full-match pattern
//   ^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?
// (ECMAScript grammar) would split it, in one forward scan instead of a backtracking regex,
// whose recursion depth grows with the input length. Every optional group is greedy and what
// follows it can always match, so each group is taken when its text is there; no group but
// the fragment may hold "#", so the only failure is a "." that meets a line feed or a
// carriage return after the first "#".
URL URL::parse(const std::string& url) {
    URL result;
    const size_t size = url.size();
    size_t pos = 0;

    size_t schemeEnd = 0;
    while (schemeEnd < size && url[schemeEnd] != ':' && url[schemeEnd] != '/' &&
           url[schemeEnd] != '?' && url[schemeEnd] != '#') {
        ++schemeEnd;
    }
    if (schemeEnd > 0 && schemeEnd < size && url[schemeEnd] == ':') {
        result.scheme = url.substr(0, schemeEnd);
        pos = schemeEnd + 1;
    }

    std::string authority;
    if (url.compare(pos, 2, "//") == 0) {
        const size_t start = pos + 2;
        const size_t end = std::min(url.find_first_of("/?#", start), size);
        authority = url.substr(start, end - start);
        pos = end;
    }

    const size_t pathEnd = std::min(url.find_first_of("?#", pos), size);
    result.path = url.substr(pos, pathEnd - pos);
    pos = pathEnd;

    if (pos < size && url[pos] == '?') {
        const size_t queryEnd = std::min(url.find('#', pos + 1), size);
        result.query = url.substr(pos + 1, queryEnd - pos - 1);
        pos = queryEnd;
    }

    if (pos < size) {  // url[pos] is '#'
        if (url.find_first_of("\r\n", pos + 1) != std::string::npos) {
            throw std::invalid_argument("Invalid URL format: " + url);
        }
        result.fragment = url.substr(pos + 1);
    }

    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos) {
        result.host = authority;
    } else {
        const std::string digits = authority.substr(colon + 1);
        const bool isPort =
            !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
        result.host = isPort ? authority.substr(0, colon) : authority;
        if (isPort) {
            result.port = digits;
        }
    }
    return result;
}

std::ostream& operator<<(std::ostream& os, const URL& url) {
    os << "Scheme: '" << url.getScheme() << "'\n"
       << "Host: '" << url.getHost() << "'\n"
       << "Port: '" << url.getPort() << "'\n"
       << "Path: '" << url.getPath() << "'\n"
       << "Query: '" << url.getQuery() << "'\n"
       << "Fragment: '" << url.getFragment() << "'\n";
    return os;
}

}  // namespace relaymatrix::extensions::tidewire
