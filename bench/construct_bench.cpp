// What constructing a client costs before any byte moves: a plain one must not pay for the
// TLS trust store it never uses; a TLS one pays for loading it once per client. The baseline
// is that load alone, in the same run.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tidewire/WebSocketClient.h"

using relaymatrix::extensions::tidewire::WebSocketClient;

namespace {

// Port 1 on the loopback refuses at once; the connection attempt runs after the constructor
// has returned, so only the constructor is timed and the client is destroyed off the clock.
void constructClients(benchmark::State& state, const std::string& url) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto client = std::make_unique<WebSocketClient>(url, std::vector<std::string>{});
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
