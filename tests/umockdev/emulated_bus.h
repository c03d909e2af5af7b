// A USB bus with Trelvo units on it, emulated for libusb through umockdev:
// a testbed sysfs with a root hub and one device per occupied port, and a
// scripted usbdevfs ioctl handler that turns URBs into the simulated unit's
// own operations (sim::UnitModel). The unit therefore answers exactly as a
// simulated unit does: the same commands and replies, identity record,
// sample stream, firmware download and re-enumeration.
//
// What the handler emulates, per device node:
// - control URBs: 0xA0 RAM writes and reads (the CPU control registers 0xE600
//   and 0x7F92 among them), other vendor requests, GET_DESCRIPTOR;
// - bulk URBs on 0x02 (commands) and 0x82 (replies, held until the unit has
//   one); isochronous URBs on 0x88, one packet per 1 ms frame with its own
//   status, and lost packets on request (-EXDEV, zero length);
// - interface claims per open file (another file's claim gives EBUSY, a
//   client that goes away frees its claim), alternate settings, halts;
// - re-enumeration after a download: the unit leaves the bus and comes back
//   on the same port under a new device number; unplugging and plugging.
//
// Everything device-side runs on umockdev's ioctl thread; the test's thread
// reads observations under the same lock. The process (or the processes it
// starts) must run with libumockdev-preload (umockdev-wrapper) to see the bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace trelvo::sim {
class UnitModel;
}

namespace trelvo::umock {

// One control write of request 0xA0 (the controller's RAM), in arrival order.
struct MemoryWrite {
    uint16_t address = 0;
    std::vector<uint8_t> data;
    std::chrono::steady_clock::time_point at{};  // arrival (not compared)
    bool operator==(const MemoryWrite& o) const { return address == o.address && data == o.data; }
};

// Counters of one unit's isochronous pipe since it was plugged.
struct IsoCounters {
    uint64_t urbsSubmitted = 0;
    uint64_t urbsCompleted = 0;  // reaped as completed (status 0)
    uint64_t urbsCancelled = 0;  // discarded by the host
    uint64_t packetsDelivered = 0;
    uint64_t packetsLost = 0;   // delivered with -EXDEV and no data (injected)
    uint64_t framesMissed = 0;  // frames with no packet slot queued by the host
};

class EmulatedBus {
  public:
    // Creates the testbed (sets UMOCKDEV_DIR for this process and its
    // children) with one root hub, bus 1. Throws std::runtime_error on failure.
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Plugs a unit into root-hub port `port` (1..7) with the simulated unit's
    // setup (firmware state, variant, signals, bus absence after a download).
    // The port must be free.
    void plug(int port, const sim::UnitConfig& config);
    // Pulls the unit off port `port`: pending URBs fail with -ESHUTDOWN, the
    // device node answers ENODEV from then on. Returns once the unit is gone.
    void unplug(int port);

    // ---- Observation (any thread) ----
    bool present(int port) const;
    int deviceNumber(int port) const;        // current devnum; 0 while off the bus
    std::string devicePath(int port) const;  // /dev/bus/usb/001/NNN
    // Waits until the unit on `port` is on the bus running the library's
    // firmware revision (after a download: back from re-enumeration).
    bool waitRunning(int port, std::chrono::milliseconds limit) const;
    // Every 0xA0 write since the unit was plugged (CPU control writes included).
    std::vector<MemoryWrite> memoryWrites(int port) const;
    // The 64 KiB the host wrote through 0xA0 (zero where nothing was written).
    std::vector<uint8_t> memory(int port) const;
    std::vector<std::vector<uint8_t>> commandLog(int port) const;
    int downloads(int port) const;
    sim::FirmwareState firmware(int port) const;
    IsoCounters isoCounters(int port) const;
    bool claimed(int port) const;  // interface 0 held by some open file
    int clients() const;           // open files on any unit's node

    // ---- Faults and settings ----
    // Every `everyNth` stream packet (counted from now, 0 = none) reaches the
    // host as lost: status -EXDEV, length 0, its readings gone.
    void loseIsoPackets(int port, uint32_t everyNth);
    // Runs `f` on the port's unit model under the bus lock (signals, identity).
    void withModel(int port, const std::function<void(sim::UnitModel&)>& f);

    std::string rootDir() const;

    struct State;  // the handler's state, shared with umockdev's thread

  private:
    std::shared_ptr<State> state_;
};

}  // namespace trelvo::umock
