// The whole engine through the C API on a simulated unit:
// - CPU time the process uses during a real-time stream capture of one
//   channel at the fastest timer setting (the worker must wait in the
//   driver's stream read, not spin);
// - readings per second from a fast-clock unit through decoder and ring to
//   TrelvoGetValues.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int16_t openSimulatedUnit(bool fast) {
    static std::shared_ptr<trelvo::sim::Simulator> simulator = trelvo::sim::Simulator::install();
    trelvo::api::closeAllUnits();
    trelvo::sim::UnitConfig config;
    config.fastClock = fast;
    simulator->plug(0, config);
    return TrelvoOpenUnit();
}

// Seconds of real-time capture per iteration: TRELVO_BENCH_SECONDS, default 10.
double captureSeconds() {
    const char* text = std::getenv("TRELVO_BENCH_SECONDS");
    return text ? std::atof(text) : 10.0;
}

void BM_RealTimeStreamCpu(benchmark::State& state) {
    const int16_t unit = openSimulatedUnit(false);
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    int16_t channels[1] = {1};
    TrelvoSetInterval(unit, 50, 1, channels, 1);  // fastest: one reading every 50 us
    std::vector<uint16_t> values(100000);
    const double seconds = captureSeconds();
    double cpu = 0, wall = 0;
    int64_t readings = 0;
    for (auto _ : state) {
        TrelvoRun(unit, 100000, TRELVO_METHOD_STREAM);
        const double cpuStart = processCpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        auto elapsed = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart)
                .count();
        };
        while (elapsed() < seconds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            readings += TrelvoGetValues(unit, values.data(), 100000);
        }
        cpu += processCpuSeconds() - cpuStart;
        wall += elapsed();
        TrelvoStop(unit);
    }
    state.counters["cpu_s"] = cpu;
    state.counters["wall_s"] = wall;
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
    state.counters["readings_per_s"] = static_cast<double>(readings) / wall;
    trelvo::api::closeAllUnits();
}
BENCHMARK(BM_RealTimeStreamCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_FastClockThroughput(benchmark::State& state) {
    const int16_t unit = openSimulatedUnit(true);
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    int16_t channels[1] = {1};
    TrelvoSetInterval(unit, 50, 1, channels, 1);
    std::vector<uint16_t> values(1 << 20);
    TrelvoRun(unit, 1 << 20, TRELVO_METHOD_STREAM);
    int64_t readings = 0;
    for (auto _ : state) {
        const int32_t got = TrelvoGetValues(unit, values.data(), 1 << 20);
        readings += got;
        if (got == 0) std::this_thread::yield();
    }
    TrelvoStop(unit);
    state.counters["readings_per_s"] =
        benchmark::Counter(static_cast<double>(readings), benchmark::Counter::kIsRate);
    trelvo::api::closeAllUnits();
}
BENCHMARK(BM_FastClockThroughput)->MinTime(3.0)->UseRealTime();

}  // namespace
