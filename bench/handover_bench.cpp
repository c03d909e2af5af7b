// Hand-over between the application and a unit's worker, through the C API on
// a simulated unit:
// - BM_OpenCpu: wall and CPU time of TrelvoOpenUnit. The open is made of
//   fixed pauses (~750 ms); the opening process should sleep through them,
//   not spin (goal: CPU at most 5 % of the wall time).
// - BM_StopWhileStreaming: latency of TrelvoStop while a stream capture runs
//   in real time, with two busy processes beside it competing for the
//   processors (goal: median <= 2 ms, p99 <= 5 ms).
// Figures are reported as counters (milliseconds, percent).
#include <benchmark/benchmark.h>
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

double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::shared_ptr<trelvo::sim::Simulator> simulator() {
    static std::shared_ptr<trelvo::sim::Simulator> sim = trelvo::sim::Simulator::install();
    return sim;
}

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    return samples[index];
}

void BM_OpenCpu(benchmark::State& state) {
    trelvo::api::closeAllUnits();
    simulator()->plug(0, trelvo::sim::UnitConfig{});
    double wall = 0, cpu = 0;
    int64_t opens = 0;
    for (auto _ : state) {
        const double cpuStart = processCpuMs();
        const double wallStart = nowMs();
        const int16_t unit = TrelvoOpenUnit();
        const double wallEnd = nowMs();
        const double cpuEnd = processCpuMs();
        if (unit <= 0) {
            state.SkipWithError("no simulated unit");
            return;
        }
        state.SetIterationTime((wallEnd - wallStart) / 1e3);
        wall += wallEnd - wallStart;
        cpu += cpuEnd - cpuStart;
        ++opens;
        TrelvoCloseUnit(unit);
    }
    state.counters["open_wall_ms"] = wall / static_cast<double>(opens);
    state.counters["open_cpu_ms"] = cpu / static_cast<double>(opens);
    state.counters["cpu_percent_of_wall"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_OpenCpu)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Two processes that only burn processor time, so that the library's threads
// compete for the two processors as on a loaded machine.
class BusyNeighbours {
  public:
    explicit BusyNeighbours(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile uint64_t spin = 0;
                for (;;) spin = spin + 1;
            }
            if (pid > 0) children_.push_back(pid);
        }
    }
    ~BusyNeighbours() {
        for (pid_t pid : children_) kill(pid, SIGKILL);
        for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    }

  private:
    std::vector<pid_t> children_;
};

void BM_StopWhileStreaming(benchmark::State& state) {
    trelvo::api::closeAllUnits();
    simulator()->plug(0, trelvo::sim::UnitConfig{});  // real-time clock: reads wait for frames
    const int16_t unit = TrelvoOpenUnit();
    if (unit <= 0) {
        state.SkipWithError("no simulated unit");
        return;
    }
    int16_t channels[2] = {1, 2};
    TrelvoSetInterval(unit, 100000, 1000, channels, 2);
    BusyNeighbours neighbours(2);
    std::vector<double> latencies;
    std::vector<uint16_t> values(2000);
    for (auto _ : state) {
        TrelvoRun(unit, 1000, TRELVO_METHOD_STREAM);
        // Let the worker settle into its stream reads, fetching as an
        // application does.
        for (int i = 0; i < 4; ++i) {
            TrelvoGetValues(unit, values.data(), 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double start = nowMs();
        TrelvoStop(unit);
        const double took = nowMs() - start;
        state.SetIterationTime(took / 1e3);
        latencies.push_back(took);
    }
    TrelvoCloseUnit(unit);
    state.counters["stop_median_ms"] = percentile(latencies, 0.5);
    state.counters["stop_p99_ms"] = percentile(latencies, 0.99);
    state.counters["stop_max_ms"] = percentile(latencies, 1.0);
}
BENCHMARK(BM_StopWhileStreaming)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace
