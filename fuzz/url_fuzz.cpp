// Arbitrary text to URL::parse. Short texts are also matched with the pattern itself through
// std::regex (which recurses per character, hence the length cap) and must split the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tidewire/URL.h"

using relaymatrix::extensions::tidewire::URL;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkAgainstPattern(const std::string& text, bool parsed, const URL& url) {
    static const std::regex pattern("^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\\?([^#]*))?(#(.*))?");
    std::smatch match;
    const bool matched = std::regex_match(text, match, pattern);
    check(matched == parsed);
    if (!matched) {
        return;
    }
    check(url.getScheme() == match[2].str());
    check(url.getPath() == match[5].str());
    check(url.getQuery() == match[7].str());
    check(url.getFragment() == match[9].str());
    const std::string authority = match[4].str();
    check(url.getHost() + (url.getPort().empty() ? "" : ":" + url.getPort()) == authority);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    URL url;
    bool parsed = true;
    try {
        url = URL::parse(text);
    } catch (const std::invalid_argument& e) {
        parsed = false;
        check(std::string(e.what()) == ("Invalid URL format: " + text).c_str());
    }
    if (parsed) {
        std::ostringstream out;
        out << url;
        check(out.str().size() == url.getScheme().size() + url.getHost().size() +
                                      url.getPort().size() + url.getPath().size() +
                                      url.getQuery().size() + url.getFragment().size() + 61);
    }
    if (size <= 256) {
        checkAgainstPattern(text, parsed, url);
    }
    return 0;
}
