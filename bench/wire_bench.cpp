// Decoder throughput in stream bytes per second against a plain memcpy of
// the same block and against the goal of 1 GB/s (both as ratios measured in
// the same run), the plain reference decoder for comparison, and
// sample-ring throughput.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "device/sample_ring.h"
#include "device/stream_decoder.h"
#include "support/reference_decoder.h"

using namespace trelvo::device;

namespace {

// One worker read: the stream buffer holds 400 packets of 112 bytes.
constexpr std::size_t kBlockBytes = 44800;

// A block as the unit sends it: slots in scan order, three bytes a sample,
// values wandering around mid-scale.
std::vector<uint8_t> streamBlock(unsigned slots) {
    std::vector<uint8_t> bytes;
    bytes.reserve(kBlockBytes + 3);
    std::mt19937 random(1234);
    unsigned value = 2048;
    for (unsigned slot = 0; bytes.size() < kBlockBytes; slot = (slot + 1) % slots) {
        value = (value + random() % 65 - 32) & 0x3FFF;
        bytes.push_back(static_cast<uint8_t>(slot << 1 | 1));
        bytes.push_back(static_cast<uint8_t>((value & 0x7F) << 1 | 1));
        bytes.push_back(static_cast<uint8_t>((value >> 7) << 1));
    }
    bytes.resize(kBlockBytes);  // the last sample continues in the next block
    return bytes;
}

// memcpy of the block, in bytes per second of process CPU time (the unit
// the decoder benchmarks report in), measured over about 20 ms.
double memcpyRate(const std::vector<uint8_t>& block) {
    std::vector<uint8_t> copy(block.size());
    const std::clock_t start = std::clock();
    std::clock_t now = start;
    long copies = 0;
    while (now - start < CLOCKS_PER_SEC / 50) {
        for (int i = 0; i < 100; ++i, ++copies) {
            std::memcpy(copy.data(), block.data(), block.size());
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        }
        now = std::clock();
    }
    const double seconds = static_cast<double>(now - start) / CLOCKS_PER_SEC;
    return static_cast<double>(copies) * static_cast<double>(block.size()) / seconds;
}

template <typename Decoder>
void decodeThroughput(benchmark::State& state) {
    const auto slots = static_cast<uint8_t>(state.range(0));
    const std::vector<uint8_t> block = streamBlock(slots);
    DecoderConfig config;
    config.channelCount = slots;
    config.scanLength = slots;
    config.oversample = static_cast<uint16_t>(state.range(1));
    config.captureMethod = kMethodWindow;  // keeps decoding after completion
    SampleRing ring(100000);
    Decoder decoder;
    decoder.startCapture(config, {5, 5, 1000});
    const double copyRate = memcpyRate(block);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decoder.decode(block.data(), block.size(), ring));
        benchmark::ClobberMemory();
    }
    const double bytes = static_cast<double>(state.iterations()) * kBlockBytes;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    // Rates divided by the time: decode rate / memcpy rate, decode rate / 1 GB/s.
    state.counters["vs_memcpy"] = benchmark::Counter(bytes / copyRate, benchmark::Counter::kIsRate);
    state.counters["vs_1GBps"] = benchmark::Counter(bytes / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK_TEMPLATE(decodeThroughput, StreamDecoder)
    ->ArgNames({"slots", "oversample"})
    ->Args({1, 1})
    ->Args({1, 20})
    ->Args({3, 1})
    ->Args({3, 20});
BENCHMARK_TEMPLATE(decodeThroughput, trelvo::testing::ReferenceDecoder)
    ->ArgNames({"slots", "oversample"})
    ->Args({1, 1})
    ->Args({3, 20});

void memcpyBlock(benchmark::State& state) {
    const std::vector<uint8_t> block = streamBlock(1);
    std::vector<uint8_t> copy(block.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), block.data(), block.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes);
}
BENCHMARK(memcpyBlock);

// The worker pushes one block's readings; the application takes them out.
void ringPushReadOldest(benchmark::State& state) {
    const auto perBlock = static_cast<int32_t>(state.range(0));
    SampleRing ring(30000);
    std::vector<uint16_t> values(static_cast<std::size_t>(perBlock), 1234);
    std::vector<uint16_t> out(values.size());
    for (auto _ : state) {
        ring.push(values.data(), perBlock);
        int32_t n = perBlock;
        ring.readOldest(out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * perBlock);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * perBlock * 2);
}
BENCHMARK(ringPushReadOldest)->ArgName("values")->Arg(1)->Arg(750)->Arg(14933);

// A full ring that drops its oldest reading on every push.
void ringPushWhenFull(benchmark::State& state) {
    SampleRing ring(1000);
    std::vector<uint16_t> values(750, 42);
    for (auto _ : state) ring.push(values.data(), static_cast<int32_t>(values.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 750);
}
BENCHMARK(ringPushWhenFull);

}  // namespace
