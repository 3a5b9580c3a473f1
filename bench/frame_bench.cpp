// Per-frame costs, each beside a baseline measured in the same run: masking against memcpy of
// the same size, build against copying the payload vector, decoding against the same copy.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <vector>

#include "core/FrameDecoder.h"
#include "core/Masking.h"
#include "core/Utf8Validator.h"
#include "tidewire/WebSocketFrame.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(64)->Arg(4 << 10)->Arg(1 << 20);
}

void BM_Memcpy(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(size, 0x5A);
    std::vector<uint8_t> dst(size);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Memcpy)->Apply(sizes);

// Strict mode's text check, beside memcpy of the same bytes: all ASCII, and mixed text (a
// quarter of the characters two-, three- and four-byte ones).
void BM_Utf8(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const bool mixed = state.range(1) != 0;
    static const char* const pieces[] = {"word ", "\xCE\xBA", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) {
        text += mixed && i % 4 == 3 ? pieces[1 + i / 4 % 3] : pieces[0];
    }
    text.resize(size);  // may cut the last character: feed() does not look for the end
    for (auto _ : state) {
        Utf8Validator validator;
        benchmark::DoNotOptimize(
            validator.feed(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.SetLabel(mixed ? "mixed" : "ascii");
}
BENCHMARK(BM_Utf8)->ArgsProduct({{4 << 10, 1 << 20}, {0, 1}});

void BM_ApplyMask(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(size, 0x5A);
    for (auto _ : state) {
        applyMask(data.data(), size, key);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ApplyMask)->Apply(sizes);

// Unmasking a payload that arrives in pieces at an odd key offset.
void BM_ApplyMaskOddOffset(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(size + 1, 0x5A);
    for (auto _ : state) {
        applyMask(data.data() + 1, size, key, 3);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ApplyMaskOddOffset)->Apply(sizes);

void BM_CopyWithMask(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(size, 0x5A);
    std::vector<uint8_t> dst(size);
    for (auto _ : state) {
        copyWithMask(dst.data(), src.data(), size, key);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CopyWithMask)->Apply(sizes);

// Baseline for build: the copy of the payload that build's by-value parameter makes anyway.
void BM_CopyPayloadVector(benchmark::State& state) {
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        std::vector<uint8_t> copy = payload;
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_CopyPayloadVector)->Apply(sizes);

void BM_BuildUnmasked(benchmark::State& state) {
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        std::vector<uint8_t> frame = WebSocketFrame::build(payload, true, 0x2, false);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_BuildUnmasked)->Apply(sizes);

void BM_BuildMasked(benchmark::State& state) {
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        std::vector<uint8_t> frame = WebSocketFrame::build(payload, true, 0x2, true);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_BuildMasked)->Apply(sizes);

void BM_DrawMaskingKey(benchmark::State& state) {
    uint8_t drawn[4];
    for (auto _ : state) {
        drawMaskingKey(drawn);
        benchmark::DoNotOptimize(drawn);
    }
}
BENCHMARK(BM_DrawMaskingKey);

// A whole masked frame through the three decoder steps, payload buffer reused across frames.
void BM_DecodeMaskedFrame(benchmark::State& state) {
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    const std::vector<uint8_t> wire = WebSocketFrame::build(payload, true, 0x2, true);
    FrameDecoder decoder;
    for (auto _ : state) {
        decoder.reset();
        size_t pos = 0;
        decoder.applyHeader(wire.data());
        pos += 2;
        decoder.applyLengthAndKey(wire.data() + pos);
        pos += static_cast<size_t>(decoder.frame().extendedPayloadLengthBytes) + 4;
        decoder.applyPayload(wire.data() + pos);
        benchmark::DoNotOptimize(decoder.frame().payload.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_DecodeMaskedFrame)->Apply(sizes);

}  // namespace

// Large buffers stay in the heap between iterations, as a connection's reused buffers do;
// otherwise every 1 MiB iteration maps fresh pages and page faults dominate the figures.
int main(int argc, char** argv) {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
