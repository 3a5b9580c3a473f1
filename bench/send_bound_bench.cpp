// Resident memory a server session takes to hold its send bound: the session sends messages
// of one size to a client that completed the handshake and then never reads, until
// bufferedAmount() is within one message of ConnectionOptions::maxBufferedAmount. Prints, per
// message size and sending thread (the loop, from a handler; or a host thread), the growth of
// the process's resident memory over the bound: at its peak and once everything is queued.
// 1.00 would be the queued bytes alone.
//
// Every case runs in a fresh child process, so that memory freed by an earlier case does not
// hide or add to a figure. Run it by hand on a normal build:
//   build/<dir>/bench/send_bound_bench [bound in MiB]
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ResidentMemory.h"
#include "tidewire/ConnectionOptions.h"
#include "tidewire/WebSocketServer.h"
#include "tidewire/WebSocketSession.h"

using relaymatrix::extensions::tidewire::ConnectionOptions;
using relaymatrix::extensions::tidewire::WebSocketServer;
using relaymatrix::extensions::tidewire::WebSocketSession;

namespace {

// The most resident memory seen since start(), sampled every millisecond.
class PeakSampler {
public:
    void start() {
        running = true;
        thread = std::thread([this] {
            while (running) {
                long now = residentBytes();
                long seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    long stop() {
        running = false;
        thread.join();
        return std::max(peak.load(), residentBytes());
    }

private:
    std::atomic<bool> running{false};
    std::atomic<long> peak{0};
    std::thread thread;
};

// A client that completes the opening handshake and then reads nothing.
void connectIdleClient(asio::ip::tcp::socket& socket, unsigned short port) {
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    asio::write(socket, asio::buffer(request));
    asio::streambuf response;
    asio::read_until(socket, response, "\r\n\r\n");
}

// Waits until resident memory has not changed for a while: the loop has taken in what a host
// thread posted.
void waitUntilSettled() {
    long last = residentBytes();
    auto stableSince = std::chrono::steady_clock::now();
    const auto deadline = stableSince + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - stableSince < std::chrono::milliseconds(300)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long now = residentBytes();
        if (now != last) {
            last = now;
            stableSince = std::chrono::steady_clock::now();
        }
    }
}

// Child process: one case. Prints "peak final" growth over the bound.
int runCase(size_t messageBytes, bool fromLoop, size_t bound, int resultFd) {
    WebSocketServer server(0);
    ConnectionOptions options;
    options.maxBufferedAmount = bound;
    server.setConnectionOptions(options);
    std::mutex mutex;
    std::condition_variable changed;
    WebSocketSession* opened = nullptr;
    bool filled = false;
    const std::vector<uint8_t> message(messageBytes, 'x');
    const size_t frameBytes = messageBytes + 14;  // the largest header a server adds
    auto fill = [&](WebSocketSession& session) {
        while (session.bufferedAmount() + frameBytes <= bound) {
            session.send(message, false, 0);
        }
    };
    server.onNewSession([&](WebSocketSession& session) {
        session.onOpenHandler = [&, s = &session] {
            std::lock_guard<std::mutex> lock(mutex);
            opened = s;
            changed.notify_all();
        };
        session.onMessageHandler = [&, s = &session](const std::vector<uint8_t>&, bool) {
            fill(*s);  // the loop thread, from a handler
            std::lock_guard<std::mutex> lock(mutex);
            filled = true;
            changed.notify_all();
        };
    });
    server.start();

    asio::io_context io;
    asio::ip::tcp::socket client(io);
    connectIdleClient(client, server.boundPort());
    WebSocketSession* session = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return opened != nullptr; })) {
            std::fprintf(stderr, "no session opened\n");
            return 1;
        }
        session = opened;
    }
    const long before = residentBytes();
    PeakSampler sampler;
    sampler.start();
    if (fromLoop) {
        // One masked, empty binary message asks the session's handler to fill the queue.
        const uint8_t trigger[] = {0x82, 0x80, 1, 2, 3, 4};
        asio::write(client, asio::buffer(trigger));
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(60), [&] { return filled; });
    } else {
        fill(*session);
    }
    waitUntilSettled();
    const long final = residentBytes();
    const long peak = sampler.stop();
    ::dprintf(resultFd, "%.2f %.2f\n", double(peak - before) / double(bound),
              double(final - before) / double(bound));
    std::_Exit(0);  // the client never reads: skip an orderly shutdown
}

}  // namespace

int main(int argc, char** argv) {
    const size_t bound = size_t(argc > 1 ? std::atoi(argv[1]) : 64) * 1024 * 1024;
    std::printf("resident growth / bound (%zu MiB), peak and final\n", bound >> 20);
    std::printf("%-10s %-14s %-14s\n", "message", "loop thread", "host thread");
    for (const size_t size : {size_t(64), size_t(4096), size_t(65536), size_t(1048576)}) {
        std::string row;
        for (const bool fromLoop : {true, false}) {
            int pipeEnds[2];
            if (::pipe(pipeEnds) != 0) {
                return 1;
            }
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(pipeEnds[0]);
                return runCase(size, fromLoop, bound, pipeEnds[1]);
            }
            ::close(pipeEnds[1]);
            char text[64] = {};
            ssize_t got = 0;
            while (got < ssize_t(sizeof text) - 1) {
                const ssize_t n = ::read(pipeEnds[0], text + got, sizeof text - 1 - got);
                if (n <= 0) {
                    break;
                }
                got += n;
            }
            ::close(pipeEnds[0]);
            int status = 0;
            ::waitpid(child, &status, 0);
            double peak = 0;
            double final = 0;
            if (got <= 0 || std::sscanf(text, "%lf %lf", &peak, &final) != 2) {
                row += "failed         ";
                continue;
            }
            char cell[32];
            std::snprintf(cell, sizeof cell, "%.2f / %.2f    ", peak, final);
            row += cell;
        }
        const std::string label =
            size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
        std::printf("%-10s %s\n", label.c_str(), row.c_str());
        std::fflush(stdout);
    }
    return 0;
}
