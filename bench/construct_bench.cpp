// What constructing a client costs before any byte moves: a plain one must not pay for the
// TLS trust store it never uses; a TLS one pays for loading it once per client, unless it
// shares a loop with clients of the same settings. The baseline is that load alone, in the
// same run.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tidewire/EventLoop.h"
#include "tidewire/WebSocketClient.h"

using relaymatrix::extensions::tidewire::ConnectionOptions;
using relaymatrix::extensions::tidewire::EventLoop;
using relaymatrix::extensions::tidewire::WebSocketClient;

namespace {

// Port 1 on the loopback refuses at once; the connection attempt runs after the constructor
// has returned, so only the constructor is timed and the client is destroyed off the clock.
void constructClients(benchmark::State& state, const std::string& url,
                      const ConnectionOptions& options = {}) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto client = std::make_unique<WebSocketClient>(url, std::vector<std::string>{},
                                                        WebSocketClient::Handlers(), options);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        client.reset();
    }
}

void BM_PlainClientConstructor(benchmark::State& state) {
    constructClients(state, "ws://127.0.0.1:1/");
}
BENCHMARK(BM_PlainClientConstructor)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_TlsClientConstructor(benchmark::State& state) {
    constructClients(state, "wss://127.0.0.1:1/");
}
BENCHMARK(BM_TlsClientConstructor)->UseManualTime()->Unit(benchmark::kMillisecond);

// Clients on one shared loop: one of them holds the loop's TLS context, which the others reuse.
void BM_TlsClientConstructorOnSharedLoop(benchmark::State& state) {
    ConnectionOptions options;
    options.eventLoop = EventLoop::create();
    const WebSocketClient holder("wss://127.0.0.1:1/", {}, {}, options);
    constructClients(state, "wss://127.0.0.1:1/", options);
}
BENCHMARK(BM_TlsClientConstructorOnSharedLoop)->UseManualTime()->Unit(benchmark::kMillisecond);

// Baseline: OpenSSL loading the system's default CA locations into a fresh context.
void BM_SystemTrustStoreLoad(benchmark::State& state) {
    for (auto _ : state) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        benchmark::DoNotOptimize(SSL_CTX_set_default_verify_paths(context));
        SSL_CTX_free(context);
    }
}
BENCHMARK(BM_SystemTrustStoreLoad)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
