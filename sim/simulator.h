// The simulated kernel driver and unit: a stand-in for the real driver and
// the unit's firmware behind the driver seam, so that programs run without
// hardware. Selected by TRELVO_SIMULATE, or installed by tests through this
// C++ API. sim/README.md describes the behaviour, the TRELVO_SIMULATE grammar
// and the default signals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_backend.h"
#include "driver/driver_interface.h"
#include "driver/unit_ids.h"

namespace trelvo::sim {

// What the unit's controller presents on the bus.
enum class FirmwareState {
    Running,          // usb::kOwnVendorId / 0x1002 / revision 1
    OtherRevision,    // kOwnVendorId / 0x1002 / revision 2
    Blank,            // kOwnVendorId / 0xFFFF
    BlankChipMaker1,  // 0x0547 / 0x2235
    BlankChipMaker2,  // 0x04B4 / 0x6473
    BlankChipMaker3,  // 0x04B4 / 0x8613
};

enum class Waveform { Dc, Sine, Square, Triangle, Ramp, Counter, Noise };

// The signal on one input channel, on the 0..4095 scale. The value is
// rounded and clamped to 0..4095 (the 10-bit unit then clears the two low
// bits).
//   Dc:       level
//   Sine:     level + amplitude * sin(2*pi*(f*t + phase/360))
//   Square:   level + amplitude, first half period; level - amplitude, second
//   Triangle: starts at level rising, peaks at level + amplitude at 1/4 period
//   Ramp:     sawtooth from level - amplitude up to level + amplitude
//   Counter:  (level + n) mod 4096 at the channel's n-th conversion (n from
//             0); on the 10-bit unit (level + 4n) mod 4096, i.e. the next
//             10-bit code. Every conversion (stream slot or single reading)
//             counts, so tests can check that no reading is lost or repeated.
//   Noise:    level + Gaussian noise of standard deviation `amplitude`
// `noise` adds Gaussian noise of that standard deviation to any waveform
// except Counter. Noise is deterministic: a function of the unit's seed, the
// channel and its conversion number.
struct Signal {
    Waveform waveform = Waveform::Sine;
    double level = 2048;      // mid value (dc level)
    double amplitude = 1500;  // peak deviation from level
    double frequencyHz = 10;
    double phaseDeg = 0;
    double noise = 0;  // added Gaussian noise, standard deviation
};

// The default signal of channel 1..11: a sine around mid-scale (level 2048,
// amplitude 1800) at 5 x channel Hz (5, 10, ... 55 Hz), phase 0.
Signal defaultSignal(int channel);
std::array<Signal, 11> defaultSignals();

struct UnitConfig {
    int variantBits = 12;  // 12 or 10
    FirmwareState firmware = FirmwareState::Running;
    bool fastClock = false;              // unit's clock runs as fast as frames are read
    uint32_t reenumerateDelayMs = 1500;  // bus absence after a firmware download
    uint32_t seed = 1;
    // Added: the channels' signals (index 0 = channel 1) and the frame
    // counter's value when the unit is plugged.
    std::array<Signal, 11> signals = defaultSignals();
    uint32_t frameBase = 0;
    // A stream read of a real-clock unit waits until this many frames have
    // arrived (as a host controller completes isochronous transfers a batch
    // of frames at a time), unless woken (Simulator::wakeStreamRead) or
    // behind: a read that finds the batch there returns at once with up to
    // the packet count. 1 hands over every frame as it completes.
    uint32_t batchFrames = 8;
};

// Counters a test may look at (all since the unit was plugged).
struct UnitStats {
    uint64_t conversions = 0;      // slots converted while sampling (single readings excluded)
    uint64_t framesQueued = 0;     // stream packets queued for the driver
    uint64_t framesDelivered = 0;  // stream packets handed to stream reads
    uint64_t framesOverrun = 0;    // packets lost because nobody read the stream in time
    uint64_t conversionsLost = 0;  // conversions that did not fit a 60-byte frame packet
};

// One simulated unit. Thread-safe: tests read it while the library drives it.
class SimUnit {
  public:
    static constexpr std::size_t kCommandLogEntries = 2048;
    virtual ~SimUnit() = default;

    // Identity memory (64 bytes). A default valid record per variant.
    virtual std::array<uint8_t, 64> identity() const = 0;
    virtual void setIdentity(const std::array<uint8_t, 64>& record) = 0;

    virtual void setSignal(int channel, const Signal& signal) = 0;  // channel 1..11
    // Added: the same signal on every channel; the signal of a channel.
    virtual void setAllSignals(const Signal& signal) = 0;
    virtual Signal signal(int channel) const = 0;

    // Every command packet the unit received on its command pipe, in order
    // (the most recent kCommandLogEntries are kept).
    virtual std::vector<std::vector<uint8_t>> commandLog() const = 0;
    virtual void clearCommandLog() = 0;
    virtual bool indicatorOn() const = 0;
    virtual uint8_t outputs() const = 0;  // bits 0..1 as driven at the last conversion
    virtual bool sampling() const = 0;
    virtual FirmwareState firmware() const = 0;
    virtual int downloads() const = 0;  // firmware downloads that took effect

    // Added.
    virtual int index() const = 0;  // device file index; -1 while off the bus
    virtual bool onBus() const = 0;
    virtual uint32_t frameNumber() const = 0;  // the unit's frame counter now
    virtual UnitStats stats() const = 0;
    virtual void setReenumerateDelay(uint32_t ms) = 0;

    // ---- Faults ----
    virtual void failDescriptorRead(bool fail) = 0;
    // Transfers on pipe `pipeIndex` fail after `okCount` more succeed (-1: never).
    virtual void failTransfersAfter(uint32_t pipeIndex, int okCount) = 0;
    virtual void shortIdentityReply(bool shortReply) = 0;  // 63 bytes instead of 64
    // After a download: never come back, or come back on another index.
    virtual void neverReturnAfterDownload(bool never) = 0;
    virtual void returnOnIndexAfterDownload(int index) = 0;
    virtual void overlongStreamPacket(bool once) = 0;  // next stream packet > packet size
    // Every n-th stream packet handed to a read claims packetSize + 1 bytes (0: none).
    virtual void overlongStreamPackets(uint32_t everyNth) = 0;
    // The unit leaves the bus, as if pulled out, once its clock has advanced
    // `ms` from now (a fast-clock unit's time advances only as its stream is
    // read). Checked at every request and while a stream read waits.
    virtual void unplugAfter(uint32_t ms) = 0;
    // After the timed unplug, the unit is plugged back into the same device
    // file `ms` of the simulator's clock later (real time, also for a
    // fast-clock unit): same identity, running firmware, interface not
    // selected, its clock and signals going on. Old handles stay dead.
    virtual void replugAfterUnplug(uint32_t ms) = 0;
    virtual void dropFrames(uint32_t everyNth) = 0;  // 0: none
    virtual void dropBytes(uint32_t everyNth) = 0;   // 0: none
    // Added: the converter "is not ready" for the next `count` single
    // readings (byte 2 of the reply is 0xFF); -1: always, 0: never.
    virtual void converterNotReady(int count) = 0;
};

// The simulated driver: device files 0..63 with units plugged into them.
class Simulator : public usb::IDriverBackend {
  public:
    // Creates a simulator and installs it as the process's driver backend.
    static std::shared_ptr<Simulator> install();
    // Added: the same, with the units of a TRELVO_SIMULATE value; nullptr
    // (nothing installed) and a message in `error` when malformed.
    static std::shared_ptr<Simulator> install(const std::string& setup,
                                              std::string* error = nullptr);
    // Parses a TRELVO_SIMULATE value ("2", "12,10,12", ...); nullptr and a
    // message in `error` when malformed.
    static std::shared_ptr<Simulator> fromSetup(const std::string& setup, std::string* error);

    virtual std::shared_ptr<SimUnit> plug(int index, const UnitConfig& config) = 0;
    virtual void unplug(int index) = 0;
    virtual std::shared_ptr<SimUnit> unit(int index) const = 0;

    // Driver version record (default 1.13 or newer, passes the check).
    virtual void setDriverVersion(uint16_t major, uint16_t minor, uint16_t build) = 0;
    // Simulates another process holding unit `index` (its named mutex).
    virtual void holdElsewhere(int index, bool held) = 0;
    // The control requests seen, for byte-level tests: code and input bytes.
    // A request identical to the one before it (same file, code and input,
    // as the stream reads and frame-number reads of a running capture are)
    // is counted in that entry's `repeats` instead of taking an entry of its
    // own. The most recent kRequestLogEntries entries are kept, and of their
    // input bytes at most kRequestLogBytes, so a long stream costs no memory.
    struct Request {
        int file;
        uint32_t code;
        std::vector<uint8_t> input;
        uint64_t repeats = 1;  // how many times in a row this request came
    };
    static constexpr std::size_t kRequestLogEntries = 1024;
    static constexpr std::size_t kRequestLogBytes = 256 * 1024;
    virtual std::vector<Request> requestLog() const = 0;
    // Requests with `code` since the simulator was made, whether or not the
    // log still holds them (not reset by clearRequestLog).
    virtual uint64_t requestCount(uint32_t code) const = 0;
    virtual void clearRequestLog() = 0;

    // Makes the stream read pending on `file`, or the next one, return at
    // once with the frames that have arrived (possibly none).
    void wakeStreamRead(int64_t file) override = 0;
    // Its units may receive the bundled image.
    bool simulatesUnits() const override { return true; }

    // Added. The clock of every unit without a fast clock, in microseconds
    // (default: std::chrono::steady_clock). Also times re-enumeration. Units
    // already plugged go on from their current time; nullptr restores the
    // default. The function must not call into the simulator.
    virtual void setClock(std::function<uint64_t()> microsecondsNow) = 0;
    // Handles open now (leak checks).
    virtual int openHandles() const = 0;
};

}  // namespace trelvo::sim
