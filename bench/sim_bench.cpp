// The simulated unit alone: readings per second a fast-clock unit generates
// and packs into stream reads (no library, no threads), with the default sine
// signals (/0) and counter signals (/1), and the value of one sine reading.
// Set beside BM_FastClockThroughput (engine_bench) it gives the simulator's
// share of the end-to-end time: end-to-end rate / this rate.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/sim_model.h"
#include "driver/driver_interface.h"

namespace {

using namespace trelvo;
using namespace trelvo::sim;

void BM_SimulatedUnitFastStream(benchmark::State& state) {
    UnitConfig config;
    config.fastClock = true;
    if (state.range(0) == 1) config.signals.fill({Waveform::Counter, 0, 0, 0, 0, 0});
    UnitModel unit(config);
    const int64_t owner = 1;
    const uint8_t select[2] = {0, 0};
    unit.control(owner, usb::kIoctlSelectInterface, select, 2, nullptr, 0);
    const usb::IsoStreamParams params{kPipeIsoIn, 100, 400, 1, 2};
    unit.control(owner, usb::kIoctlStartIsoStream, &params, sizeof params, nullptr, 0);
    // One channel at the fastest setting: 20 readings per 1 ms frame.
    std::vector<uint8_t> command(17, 0);
    command[0] = 1;
    command[2] = (65536 - 200) & 0xFF;
    command[3] = (65536 - 200) >> 8;
    command[5] = 1;
    command[6] = 0xA0;
    usb::PipeTransfer transfer{kPipeBulkOut, 0};
    unit.control(owner, usb::kIoctlTransfer, &transfer, sizeof transfer, command.data(), 17);
    std::vector<uint8_t> buffer(112 * 400);
    const uint64_t before = unit.stats().conversions;
    for (auto _ : state) {
        const auto result = unit.control(owner, usb::kIoctlReadIsoStream, &params, sizeof params,
                                         buffer.data(), static_cast<uint32_t>(buffer.size()));
        benchmark::DoNotOptimize(result.returned);
    }
    state.counters["readings_per_s"] = benchmark::Counter(
        static_cast<double>(unit.stats().conversions - before), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulatedUnitFastStream)->Arg(0)->Arg(1);

void BM_SineValue(benchmark::State& state) {
    const Signal sine = defaultSignal(1);
    uint64_t tick = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(signalValue(sine, static_cast<double>(tick) / 4e6, 0, 1, 1, 12));
        tick += 200;
    }
}
BENCHMARK(BM_SineValue);

}  // namespace
