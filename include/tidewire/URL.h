#pragma once

#include <ostream>
#include <string>

namespace relaymatrix::extensions::tidewire {

// A URL split into six text components by the generic URI pattern of RFC 3986 appendix B,
// with the authority split into host and port. Purely syntactic: nothing is decoded,
// lowercased or defaulted.
class URL {
public:
    // Throws std::invalid_argument("Invalid URL format: " + url) when the text after the
    // first "#" holds a line feed or a carriage return; every other text parses. Runs in
    // linear time and constant stack depth, whatever the length of `url`.
    static URL parse(const std::string& url);

    const std::string& getScheme() const { return scheme; }
    const std::string& getHost() const { return host; }
    // Digits as written (leading zeros kept); empty when the authority names no port.
    const std::string& getPort() const { return port; }
    const std::string& getPath() const { return path; }
    const std::string& getQuery() const { return query; }
    const std::string& getFragment() const { return fragment; }

private:
    std::string scheme;
    std::string host;
    std::string port;
    std::string path;
    std::string query;
    std::string fragment;
};

// Six lines, "Scheme: '...'\n" through "Fragment: '...'\n", the texts written unchanged.
std::ostream& operator<<(std::ostream& os, const URL& url);

}  // namespace relaymatrix::extensions::tidewire
