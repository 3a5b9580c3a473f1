#pragma once

#include <string>

#include "tidewire/URL.h"

namespace relaymatrix::extensions::tidewire {

// Where a client connects and what it asks for, read from its parsed URL.
struct ClientTarget {
    // A URL that parses but names nothing to connect to. Reported like a failed name lookup,
    // on the loop thread, never as a connection somewhere else.
    enum class Problem {
        none,
        emptyHost,       // "notaurl", "ws://", "ws://:8080": the resolver would pick loopback
        portOutOfRange,  // 0 or above 65535: the resolver would keep the low 16 bits
    };

    bool useTLS = false;  // "wss" or "https" in any letter case (schemes are case-insensitive)
    std::string host;     // as written in the URL (IPv6 in brackets)
    std::string port;     // the URL's digits as written, else "443" (TLS) or "80"
    std::string target;   // request target: the path (or "/"), then "?" and the query if any
    Problem problem = Problem::none;
};

ClientTarget clientTarget(const URL& url);

}  // namespace relaymatrix::extensions::tidewire
