#include "Commands.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "tidewire/TidewireExtension.h"

namespace relaymatrix::extensions::tidewire::tool {

std::string toHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

void printLine(const void* data, size_t size) {
    static std::mutex outputMutex;
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(data, 1, size, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void configureLogging(bool verbose) {
    if (verbose) {
        setenv("RELAYMATRIX_LOG_LEVEL", "debug", 0);
    }
    TidewireExtension::setLogLevel(verbose ? TidewireExtension::LogLevel::debug
                                           : TidewireExtension::LogLevel::error);
    TidewireExtension().initialize();
}

namespace {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

StopRequest::StopRequest() {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void StopRequest::wait(bool stdinEnds) {
    if (stdinEnds) {
        // The reader turns the end of input into a signal, so one sigwait serves both. It is
        // left behind on a signal, blocked in its read until the process exits.
        std::thread([] {
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            kill(getpid(), SIGTERM);
        }).detach();
    }
    const sigset_t signals = stopSignals();
    int received = 0;
    sigwait(&signals, &received);
}

}  // namespace relaymatrix::extensions::tidewire::tool
