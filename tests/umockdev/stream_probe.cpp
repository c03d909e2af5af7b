// Measures what an application pays: the time of TrelvoOpenUnit, then the
// process's CPU time over a real-time stream of one channel at 20,000
// readings per second, read every 10 ms. Prints one line:
//   open_ms <ms> cpu_s <s> readings <n> seconds <s>
// With 0 seconds it only opens and closes the unit. Used by bench/usb_bench.sh
// on the simulated driver and on a unit emulated under umockdev.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "trelvo/trelvo.h"

namespace {
double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const auto t0 = Clock::now();
    const int16_t h = TrelvoOpenUnit();
    const double openMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (h == 0) {
        std::fprintf(stderr, "stream probe: no unit\n");
        return 1;
    }
    long long total = 0;
    double cpu = 0;
    if (seconds > 0) {
        int16_t channel[1] = {1};
        if (TrelvoSetInterval(h, 1000000, 20000, channel, 1) == 0 ||
            TrelvoRun(h, 1000000, TRELVO_METHOD_STREAM) == 0) {
            std::fprintf(stderr, "stream probe: stream refused\n");
            return 1;
        }
        std::vector<uint16_t> values(20000);
        const double c0 = cpuSeconds();
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            total += TrelvoGetValues(h, values.data(), 20000);
        }
        cpu = cpuSeconds() - c0;
        TrelvoStop(h);
    }
    TrelvoCloseUnit(h);
    std::printf("open_ms %.1f cpu_s %.3f readings %lld seconds %d\n", openMs, cpu, total, seconds);
    return 0;
}
