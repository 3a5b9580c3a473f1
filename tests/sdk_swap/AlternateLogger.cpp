// A second logger implementation with the host SDK's four operations, marking its
// output so the test can tell which library the extension's calls reached.
#include <cstdio>
#include <string>

#include "relaymatrix/Logger.h"

namespace relaymatrix {
namespace {
void write(const char* level, const std::string& message) {
    std::fprintf(stdout, "alternate-sdk %s <%s>\n", level, message.c_str());
    std::fflush(stdout);
}
}  // namespace

void Logger::trace(const std::string& message) {
    write("trace", message);
}
void Logger::debug(const std::string& message) {
    write("debug", message);
}
void Logger::info(const std::string& message) {
    write("info", message);
}
void Logger::error(const std::string& message) {
    write("error", message);
}

}  // namespace relaymatrix
