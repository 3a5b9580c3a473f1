// The client's per-frame path over real loopback sockets, each beside a baseline in the same
// run that moves the same bytes over a plain TCP connection without any WebSocket work:
// receiving a burst of small frames, and sending small messages from a host thread.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/Support.h"
#include "tidewire/WebSocketClient.h"

using relaymatrix::extensions::tidewire::WebSocketClient;
using tidewire_test::Peer;

namespace {

constexpr size_t payloadBytes = 32;

// Counts delivered messages on the loop thread; wakes the waiting thread only when the
// count reaches its target, so the counting itself stays off the measured path.
struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    size_t count = 0;  // guarded by mutex, like target
    size_t target = 0;

    void add() {
        std::lock_guard<std::mutex> lock(mutex);
        if (++count == target) {
            changed.notify_all();
        }
    }
    void waitFor(size_t total) {
        std::unique_lock<std::mutex> lock(mutex);
        target = total;
        changed.wait(lock, [&] { return count >= target; });
    }
};

// A connected client whose peer has answered the handshake.
struct OpenClient {
    Peer peer;
    Counter messages;
    std::unique_ptr<WebSocketClient> client;

    OpenClient() {
        WebSocketClient::Handlers handlers;
        handlers.onMessage = [this](const std::vector<uint8_t>&, bool) { messages.add(); };
        client = std::make_unique<WebSocketClient>("ws://127.0.0.1:" + std::to_string(peer.port()),
                                                   std::vector<std::string>{}, handlers);
        peer.accept();
        peer.acceptUpgrade();
    }
};

// A plain loopback TCP connection: `writer` on one end, `reader` on the other.
struct RawPair {
    int reader = -1;
    int writer = -1;

    RawPair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        writer = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(writer, reinterpret_cast<sockaddr*>(&address), length);
        reader = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    }
    ~RawPair() {
        ::close(reader);
        ::close(writer);
    }
};

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const long n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void readAll(int fd, size_t size) {
    std::vector<char> chunk(64 * 1024);
    while (size > 0) {
        const long n = ::recv(fd, chunk.data(), std::min(size, chunk.size()), 0);
        if (n <= 0) {
            return;
        }
        size -= static_cast<size_t>(n);
    }
}

std::string burstOf(size_t frames) {
    std::string burst;
    const std::string frame = tidewire_test::textOf(
        tidewire_test::frame(0x2, tidewire_test::Bytes(payloadBytes, 'x'), false));
    for (size_t i = 0; i < frames; ++i) {
        burst += frame;
    }
    return burst;
}

void BM_RawTcpReceiveBurst(benchmark::State& state) {
    const size_t frames = static_cast<size_t>(state.range(0));
    const std::string burst = burstOf(frames);
    RawPair pair;
    for (auto _ : state) {
        std::thread reader([&] { readAll(pair.reader, burst.size()); });
        writeAll(pair.writer, burst);
        reader.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_RawTcpReceiveBurst)->Arg(10000)->UseRealTime();

void BM_ClientReceiveBurst(benchmark::State& state) {
    const size_t frames = static_cast<size_t>(state.range(0));
    const std::string burst = burstOf(frames);
    OpenClient open;
    size_t target = 0;
    for (auto _ : state) {
        open.peer.write(burst);
        target += frames;
        open.messages.waitFor(target);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_ClientReceiveBurst)->Arg(10000)->UseRealTime();

void BM_RawTcpSendMessages(benchmark::State& state) {
    const size_t messages = static_cast<size_t>(state.range(0));
    const size_t wireBytes = messages * (payloadBytes + 6);
    const std::string message(payloadBytes + 6, 'x');
    RawPair pair;
    for (auto _ : state) {
        std::thread reader([&] { readAll(pair.reader, wireBytes); });
        for (size_t i = 0; i < messages; ++i) {
            writeAll(pair.writer, message);
        }
        reader.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages));
}
BENCHMARK(BM_RawTcpSendMessages)->Arg(10000)->UseRealTime();

// Lower bound: the same bytes in one write.
void BM_RawTcpSendOneWrite(benchmark::State& state) {
    const size_t messages = static_cast<size_t>(state.range(0));
    const std::string bytes(messages * (payloadBytes + 6), 'x');
    RawPair pair;
    for (auto _ : state) {
        std::thread reader([&] { readAll(pair.reader, bytes.size()); });
        writeAll(pair.writer, bytes);
        reader.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages));
}
BENCHMARK(BM_RawTcpSendOneWrite)->Arg(10000)->UseRealTime();

void BM_ClientSendMessages(benchmark::State& state) {
    const size_t messages = static_cast<size_t>(state.range(0));
    const size_t wireBytes = messages * (payloadBytes + 6);  // masked, one frame each
    const std::vector<uint8_t> message(payloadBytes, 'x');
    OpenClient open;
    for (auto _ : state) {
        for (size_t i = 0; i < messages; ++i) {
            open.client->send(message, false, 0);
        }
        while (open.peer.input.size() < wireBytes && open.peer.readSome()) {
        }
        const bool complete = open.peer.input.size() >= wireBytes;
        open.peer.input.clear();
        if (!complete) {
            state.SkipWithError("connection ended");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages));
}
BENCHMARK(BM_ClientSendMessages)->Arg(10000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
