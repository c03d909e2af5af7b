// Runs a program against Trelvo units emulated on a umockdev bus, the way it
// would meet real units: no TRELVO_SIMULATE, the library's libusb backend
// sees the units through /sys, /dev/bus/usb and the usbfs ioctls. After the
// program ends it prints what each unit went through and returns the
// program's exit status. It runs itself under umockdev's preload library,
// which the program it starts inherits.
//
//   trelvo_umock_host [--units N] [--rev2] [--delay MS] [--lose N] -- PROGRAM [ARGS...]
//
//   --units N    units on root-hub ports 1..N (default 1)
//   --rev2       the units run another firmware revision: the library programs them
//   --delay MS   bus absence after a download (default 300)
//   --lose N     every Nth stream packet is lost (-EXDEV, no data)
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "umockdev/emulated_bus.h"
#include "umockdev/preload.h"

extern char** environ;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: trelvo_umock_host [--units N] [--rev2] [--delay MS] [--lose N] -- "
                 "PROGRAM [ARGS...]\n");
    return 2;
}

void report(const trelvo::umock::EmulatedBus& bus, int port) {
    using namespace std::chrono;
    const auto writes = bus.memoryWrites(port);
    std::size_t dataBytes = 0, records = 0;
    steady_clock::time_point begin{}, end{};
    for (const auto& w : writes) {
        const bool cpu = w.address == 0xE600 || w.address == 0x7F92;
        if (cpu && w.data.size() == 1 && w.data[0] == 1 && begin == steady_clock::time_point{})
            begin = w.at;
        if (cpu && w.data.size() == 1 && w.data[0] == 0) end = w.at;
        if (!cpu) {
            dataBytes += w.data.size();
            ++records;
        }
    }
    const auto iso = bus.isoCounters(port);
    std::printf("umock unit %d: downloads %d", port, bus.downloads(port));
    if (end > begin && begin != steady_clock::time_point{})
        std::printf(", download %.1f ms (%zu records, %zu bytes)",
                    duration<double, std::milli>(end - begin).count(), records, dataBytes);
    std::printf(", commands %zu, stream packets %llu delivered %llu lost %llu missed\n",
                bus.commandLog(port).size(), static_cast<unsigned long long>(iso.packetsDelivered),
                static_cast<unsigned long long>(iso.packetsLost),
                static_cast<unsigned long long>(iso.framesMissed));
}

}  // namespace

int main(int argc, char** argv) {
    if (!trelvo::umock::ensurePreloaded(argv)) return 1;
    int units = 1, lose = 0;
    uint32_t delay = 300;
    bool rev2 = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--rev2") {
            rev2 = true;
        } else if ((a == "--units" || a == "--delay" || a == "--lose") && i + 1 < argc) {
            const int v = std::atoi(argv[++i]);
            if (v < 0) return usage();
            if (a == "--units") units = v;
            if (a == "--delay") delay = static_cast<uint32_t>(v);
            if (a == "--lose") lose = v;
        } else {
            return usage();
        }
    }
    if (i >= argc || units < 1 || units > 7) return usage();

    trelvo::umock::EmulatedBus bus;
    for (int port = 1; port <= units; ++port) {
        trelvo::sim::UnitConfig config;
        config.firmware =
            rev2 ? trelvo::sim::FirmwareState::OtherRevision : trelvo::sim::FirmwareState::Running;
        config.reenumerateDelayMs = delay;
        bus.plug(port, config);
        if (lose) bus.loseIsoPackets(port, static_cast<uint32_t>(lose));
    }

    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[i], nullptr, nullptr, argv + i, environ) != 0) {
        std::fprintf(stderr, "trelvo_umock_host: cannot run %s\n", argv[i]);
        return 127;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::fflush(stdout);
    for (int port = 1; port <= units; ++port) report(bus, port);
    trelvo::umock::removeOwnLockDirectory();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
