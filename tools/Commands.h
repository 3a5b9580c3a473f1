#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relaymatrix::extensions::tidewire::tool {

// Exit statuses of every command.
// exitClosedOtherwise: the server closed with a code other than 1000 or 1001.
enum ExitStatus { exitDone = 0, exitFailed = 1, exitUsage = 2, exitClosedOtherwise = 3 };

// Each command takes the words after its name and returns the exit status. A command line
// mistake is thrown as UsageError (see Arguments.h); any other failure is reported on
// standard error by the command itself.
int runConnect(const std::vector<std::string>& words);
int runServe(const std::vector<std::string>& words);
int runUdp(const std::vector<std::string>& words);

// Lowercase hexadecimal digits of `bytes`, two per byte.
std::string toHex(const std::vector<uint8_t>& bytes);

// Writes `size` bytes and a newline to standard output as one unit and flushes, so that lines
// from different threads never mix and a reader sees each one at once.
void printLine(const void* data, size_t size);

// Library lines at error level only, unless `verbose` (debug and up). The logger stand-in
// reads its own threshold from RELAYMATRIX_LOG_LEVEL, so a verbose run lowers that too unless
// the user chose one.
void configureLogging(bool verbose);

// Keeps SIGINT and SIGTERM for `wait`: construct it before any thread is started, so that
// every thread inherits the blocked signals and only `wait` receives them.
class StopRequest {
public:
    StopRequest();
    // Returns on SIGINT or SIGTERM, or, with `stdinEnds`, once standard input is exhausted.
    void wait(bool stdinEnds);
};

}  // namespace relaymatrix::extensions::tidewire::tool
