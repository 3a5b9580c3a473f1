// A second logger with the host SDK's four operations, marking its output so the test can
// tell which library the extension's calls reached.
#include <cstdio>
#include <string>

#include "relaymatrix/Logger.h"

#define ALTERNATE_LEVEL(level)                                                    \
    void relaymatrix::Logger::level(const std::string& message) {                 \
        std::fprintf(stdout, "alternate-sdk " #level " <%s>\n", message.c_str()); \
        std::fflush(stdout);                                                      \
    }
ALTERNATE_LEVEL(trace)
ALTERNATE_LEVEL(debug)
ALTERNATE_LEVEL(info)
ALTERNATE_LEVEL(error)
