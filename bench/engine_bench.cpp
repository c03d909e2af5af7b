// The whole engine through the C API on a simulated unit, with each figure
// printed beside its goal as a ratio (at most 1.0 meets a ceiling, at least
// 1.0 meets a floor):
// - BM_RealTimeStream: CPU the process uses during a real-time stream of one
//   channel at the fastest setting (20,000 readings/s), retrieving every
//   10 ms (goal: at most 1 % of one core), and TrelvoStop during such a
//   stream (goal: median at most 2 ms, 99th percentile at most 5 ms).
// - BM_FastClockThroughput/0 (default sine signals) and /1 (counter
//   signals): readings per second of CPU time from a fast-clock unit through
//   decoder and ring to TrelvoGetValues (goals: 30 M and 50 M).
// - BM_OpenAndMemory: TrelvoOpenUnit's wall time against its 750 ms of
//   prescribed pauses (goal: within 10 %), and the heap a unit holds beyond
//   its ring while streaming, the simulated driver's buffers included (goal:
//   under 1 MB).
// Environment: TRELVO_BENCH_SECONDS (stream length, default 10),
// TRELVO_BENCH_STOPS (stops timed, default 100), TRELVO_BENCH_BUSY (busy
// processes beside the benchmark, default 0).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"

namespace {

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double environmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atof(text) : fallback;
}

// Busy processes that compete for the cores while they live.
class BusyProcesses {
  public:
    explicit BusyProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                volatile uint64_t spin = 0;
                for (;;) spin = spin + 1;
            }
            if (child > 0) children_.push_back(child);
        }
    }
    ~BusyProcesses() {
        for (pid_t child : children_) kill(child, SIGKILL);
        for (pid_t child : children_) waitpid(child, nullptr, 0);
    }

  private:
    std::vector<pid_t> children_;
};

std::shared_ptr<trelvo::sim::Simulator>& simulator() {
    static std::shared_ptr<trelvo::sim::Simulator> instance = trelvo::sim::Simulator::install();
    return instance;
}

int16_t openSimulatedUnit(const trelvo::sim::UnitConfig& config) {
    trelvo::api::closeAllUnits();
    simulator()->plug(0, config);
    return TrelvoOpenUnit();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void BM_RealTimeStream(benchmark::State& state) {
    BusyProcesses busy(static_cast<int>(environmentNumber("TRELVO_BENCH_BUSY", 0)));
    const int16_t unit = openSimulatedUnit({});
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    int16_t channels[1] = {1};
    TrelvoSetInterval(unit, 50, 1, channels, 1);  // fastest: one reading every 50 us
    std::vector<uint16_t> values(100000);
    const double seconds = environmentNumber("TRELVO_BENCH_SECONDS", 10);
    const int stops = static_cast<int>(environmentNumber("TRELVO_BENCH_STOPS", 100));
    double cpu = 0, wall = 0;
    int64_t readings = 0;
    std::vector<double> stopMs;
    for (auto _ : state) {
        TrelvoRun(unit, 100000, TRELVO_METHOD_STREAM);
        const double cpuStart = processCpuSeconds();
        const auto wallStart = Clock::now();
        auto next = wallStart;
        while (secondsSince(wallStart) < seconds) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            readings += TrelvoGetValues(unit, values.data(), 100000);
        }
        cpu += processCpuSeconds() - cpuStart;
        wall += secondsSince(wallStart);
        TrelvoStop(unit);
        // Stops at varied moments of a running stream.
        for (int i = 0; i < stops; ++i) {
            TrelvoRun(unit, 100000, TRELVO_METHOD_STREAM);
            std::this_thread::sleep_for(std::chrono::microseconds(15000 + (i * 7919) % 20000));
            TrelvoGetValues(unit, values.data(), 100000);
            const auto stopStart = Clock::now();
            TrelvoStop(unit);
            stopMs.push_back(secondsSince(stopStart) * 1e3);
        }
    }
    const double cpuPercent = 100.0 * cpu / wall;
    const double median = percentile(stopMs, 0.5), p99 = percentile(stopMs, 0.99);
    state.counters["cpu_percent_of_one_core"] = cpuPercent;
    state.counters["cpu_ratio_to_1pct"] = cpuPercent / 1.0;
    state.counters["readings_per_s"] = static_cast<double>(readings) / wall;
    state.counters["stop_median_ms"] = median;
    state.counters["stop_p99_ms"] = p99;
    state.counters["stop_max_ms"] = percentile(stopMs, 1.0);
    state.counters["stop_median_ratio_to_2ms"] = median / 2.0;
    state.counters["stop_p99_ratio_to_5ms"] = p99 / 5.0;
    trelvo::api::closeAllUnits();
}
BENCHMARK(BM_RealTimeStream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_FastClockThroughput(benchmark::State& state) {
    const bool counters = state.range(0) == 1;
    trelvo::sim::UnitConfig config;
    config.fastClock = true;
    if (counters) config.signals.fill({trelvo::sim::Waveform::Counter, 0, 0, 0, 0, 0});
    const int16_t unit = openSimulatedUnit(config);
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    int16_t channels[1] = {1};
    TrelvoSetInterval(unit, 50, 1, channels, 1);
    std::vector<uint16_t> values(1 << 20);
    TrelvoRun(unit, 1 << 20, TRELVO_METHOD_STREAM);
    int64_t readings = 0;
    const double cpuStart = processCpuSeconds();
    const auto wallStart = Clock::now();
    for (auto _ : state) {
        const int32_t got = TrelvoGetValues(unit, values.data(), 1 << 20);
        readings += got;
        // An application that finds nothing waits a little instead of spinning.
        if (got == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double cpu = processCpuSeconds() - cpuStart, wall = secondsSince(wallStart);
    TrelvoStop(unit);
    const double perCpuSecond = static_cast<double>(readings) / cpu;
    state.counters["readings_per_s"] = static_cast<double>(readings) / wall;
    state.counters["readings_per_cpu_s"] = perCpuSecond;
    state.counters["cores_used"] = cpu / wall;
    state.counters["ratio_to_goal"] = perCpuSecond / (counters ? 50e6 : 30e6);
    trelvo::api::closeAllUnits();
}
BENCHMARK(BM_FastClockThroughput)->Arg(0)->Arg(1)->MinTime(3.0)->UseRealTime();

void BM_OpenAndMemory(benchmark::State& state) {
    constexpr uint32_t kRingReadings = 100000;
    std::vector<uint16_t> values(kRingReadings);
    std::vector<double> openMs;
    openMs.reserve(64);
    trelvo::api::closeAllUnits();
    simulator()->clearRequestLog();
    malloc_trim(0);
    const std::size_t heapBefore = mallinfo2().uordblks;
    int16_t unit = 0;
    for (auto _ : state) {
        trelvo::api::closeAllUnits();
        simulator()->plug(0, {});
        const auto start = Clock::now();
        unit = TrelvoOpenUnit();
        openMs.push_back(secondsSince(start) * 1e3);
    }
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    // Stream for two seconds with a ring of 100,000 readings, then weigh the heap.
    int16_t channels[1] = {1};
    TrelvoSetInterval(unit, 50, 1, channels, 1);
    TrelvoRun(unit, kRingReadings, TRELVO_METHOD_STREAM);
    const auto start = Clock::now();
    while (secondsSince(start) < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        TrelvoGetValues(unit, values.data(), kRingReadings);
    }
    const std::size_t heapStreaming = mallinfo2().uordblks;
    TrelvoStop(unit);
    trelvo::api::closeAllUnits();
    const double ringBytes = (kRingReadings + 4) * sizeof(uint16_t);
    const double beyondRing =
        static_cast<double>(heapStreaming) - static_cast<double>(heapBefore) - ringBytes;
    const double median = percentile(openMs, 0.5);
    state.counters["open_median_ms"] = median;
    state.counters["open_max_ms"] = percentile(openMs, 1.0);
    state.counters["open_ratio_to_750ms"] = median / 750.0;
    state.counters["unit_heap_beyond_ring_bytes"] = beyondRing;
    state.counters["heap_ratio_to_1MB"] = beyondRing / (1024.0 * 1024.0);
}
BENCHMARK(BM_OpenAndMemory)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
