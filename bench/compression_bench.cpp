// Message compression (permessage-deflate): what it saves and what it costs, each figure
// beside compression off in the same run.
//   ratio      original / compressed bytes, for a JSON-like text corpus and random bytes, at
//              1 KiB, 16 KiB and 1 MiB, with and without context takeover
//   echo       our client and our server over loopback, messages echoed in a pipelined
//              window: messages per second and the server loop thread's CPU per message
//   memory     resident bytes per idle server session after one compressed message each
//              way, context takeover on and off, against compression off; each figure from a
//              fresh server process with its clients in a child process
// Prints a table; run by hand on a normal build: build/<dir>/bench/compression_bench
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ResidentMemory.h"
#include "core/MessageDeflate.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace relaymatrix::extensions::tidewire;
using Bytes = std::vector<uint8_t>;

namespace {

// Records like a chat or telemetry service sends: keys repeat, values vary.
Bytes jsonCorpus(size_t size, unsigned seed) {
    static const char* words[] = {"alpha", "bravo", "charlie", "delta",  "echo", "foxtrot",
                                  "golf",  "hotel", "india",   "juliet", "kilo", "lima"};
    std::mt19937 rng(seed);
    std::string text = "[";
    while (text.size() < size) {
        text += "{\"id\":" + std::to_string(rng() % 1000000) + ",\"user\":\"" + words[rng() % 12] +
                std::to_string(rng() % 100) +
                "\",\"score\":" + std::to_string(rng() % 10000 / 100.0) + ",\"tags\":[\"" +
                words[rng() % 12] + "\",\"" + words[rng() % 12] + "\"],\"text\":\"";
        for (int w = 0; w < 6; ++w)
            text += std::string(words[rng() % 12]) + " ";
        text += "\"},";
    }
    text.resize(size);
    return Bytes(text.begin(), text.end());
}

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

Bytes corpus(bool json, size_t size, unsigned seed) {
    return json ? jsonCorpus(size, seed) : randomBytes(size, seed);
}

// Ten different messages in a row; the steady state is what a long connection sees.
double ratio(bool json, size_t size, bool keepContext) {
    MessageCompressor compressor(15, keepContext);
    size_t in = 0, out = 0;
    Bytes compressed;
    for (unsigned i = 0; i < 10; ++i) {
        const Bytes message = corpus(json, size, i);
        compressor.compress(message.data(), message.size(), compressed);
        in += message.size();
        out += compressed.size();
    }
    return static_cast<double>(in) / static_cast<double>(out);
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    size_t count = 0;
    void add() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    void waitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return count >= n; });
    }
};

ConnectionOptions options(int mode) {  // 0 off, 1 context takeover, 2 none
    ConnectionOptions o;
    o.compression.enabled = mode != 0;
    o.compression.serverNoContextTakeover = o.compression.clientNoContextTakeover = mode == 2;
    return o;
}

// Messages per second and server CPU microseconds per message for `count` echoes.
std::pair<double, double> echo(bool json, size_t size, int mode, size_t count) {
    WebSocketServer server(0);
    server.setConnectionOptions(options(mode));
    double cpuStart = 0, cpuEnd = 0;
    size_t seen = 0;
    server.onNewSession([&](WebSocketSession& session) {
        session.onMessageHandler = [&](const Bytes& message, bool isText) {
            if (seen++ == 0)
                cpuStart = threadCpuSeconds();
            session.send(message, isText, 0);
            if (seen == count)
                cpuEnd = threadCpuSeconds();
        };
    });
    server.start();
    Counter opened, echoed;
    WebSocketClient::Handlers handlers;
    handlers.onOpen = [&] { opened.add(); };
    handlers.onMessage = [&](const Bytes&, bool) { echoed.add(); };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(server.boundPort()), {}, handlers,
                           options(mode));
    opened.waitFor(1);
    std::vector<Bytes> messages;
    // Never a message repeated within the 32 KiB window: that would compress unfairly well.
    for (unsigned i = 0; i < std::max<size_t>(8, (64u << 10) / size); ++i)
        messages.push_back(corpus(json, size, i));
    const size_t window = std::max<size_t>(2, (4u << 20) / size);
    const auto start = std::chrono::steady_clock::now();
    for (size_t sent = 0; sent < count; ++sent) {
        if (sent >= window)
            echoed.waitFor(sent - window + 1);
        client.send(messages[sent % messages.size()], json, 0);
    }
    echoed.waitFor(count);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client.stop();
    server.stop();
    return {static_cast<double>(count) / seconds,
            (cpuEnd - cpuStart) * 1e6 / static_cast<double>(count - 1)};
}

// Run in a fresh process: the server here, `sessions` clients in a child that each send one
// 1 KiB JSON message, wait for its echo and then stay idle until the server has measured.
long memoryPerSession(int mode, int sessions) {
    int portPipe[2], ready[2], done[2];
    if (pipe(portPipe) != 0 || pipe(ready) != 0 || pipe(done) != 0)
        return -1;
    const pid_t child = fork();  // before any thread starts
    if (child == 0) {
        unsigned short port = 0;
        (void)!read(portPipe[0], &port, sizeof port);
        Counter echoed;
        std::vector<std::unique_ptr<WebSocketClient>> clients;
        const Bytes message = jsonCorpus(1024, 1);
        for (int i = 0; i < sessions; ++i) {
            WebSocketClient::Handlers handlers;
            handlers.onMessage = [&](const Bytes&, bool) { echoed.add(); };
            clients.push_back(std::make_unique<WebSocketClient>(
                "ws://127.0.0.1:" + std::to_string(port), std::vector<std::string>{}, handlers,
                options(mode)));
            clients.back()->send(message, true, 0);
        }
        echoed.waitFor(static_cast<size_t>(sessions));
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        (void)!read(done[0], &byte, 1);
        _exit(0);
    }
    WebSocketServer server(0);
    server.setConnectionOptions(options(mode));
    server.onNewSession([](WebSocketSession& session) {
        session.onMessageHandler = [&session](const Bytes& m, bool t) { session.send(m, t, 0); };
    });
    server.start();
    const long before = residentBytes();
    const unsigned short port = server.boundPort();
    (void)!write(portPipe[1], &port, sizeof port);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    const long after = residentBytes();
    (void)!write(done[1], &byte, 1);
    waitpid(child, nullptr, 0);
    return (after - before) / sessions;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {  // one memory figure, in a process of its own
        std::printf("%ld\n", memoryPerSession(std::atoi(argv[1]), std::atoi(argv[2])));
        return 0;
    }
    const char* modes[] = {"off", "on, context takeover", "on, no context takeover"};
    std::printf("%-7s %-8s %-24s %8s %12s %14s\n", "corpus", "size", "compression", "ratio",
                "echoes/s", "server us/msg");
    for (bool json : {true, false}) {
        for (size_t size : {size_t{1024}, size_t{16 * 1024}, size_t{1024 * 1024}}) {
            for (int mode = 0; mode < 3; ++mode) {
                const double r = mode == 0 ? 1.0 : ratio(json, size, mode == 1);
                const auto [rate, cpu] = echo(json, size, mode, size >= (1u << 20) ? 200 : 5000);
                std::printf("%-7s %-8zu %-24s %8.2f %12.0f %14.1f\n", json ? "json" : "random",
                            size, modes[mode], r, rate, cpu);
            }
        }
    }
    const int sessions = 500;
    for (int mode = 0; mode < 3; ++mode) {
        const std::string command =
            std::string(argv[0]) + " " + std::to_string(mode) + " " + std::to_string(sessions);
        FILE* child = popen(command.c_str(), "r");
        long bytes = 0;
        if (child == nullptr || std::fscanf(child, "%ld", &bytes) != 1)
            bytes = -1;
        if (child != nullptr)
            pclose(child);
        std::printf("idle session, compression %-24s %8ld bytes resident\n", modes[mode], bytes);
    }
    return 0;
}
