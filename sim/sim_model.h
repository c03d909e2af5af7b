// The simulated unit's logic without threads: firmware commands and replies,
// sample generation on the 4 MHz timer, stream packets per 1 ms frame, and
// the driver's control requests as seen by one unit. The thread-safe layer
// (simulator.cpp) owns one UnitModel per unit under a mutex and tells it the
// time; everything here is deterministic and unit-testable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "driver/driver_interface.h"
#include "sim/simulator.h"

namespace trelvo::sim {

constexpr uint64_t kTicksPerSecond = 4000000;
constexpr uint64_t kTicksPerFrame = 4000;  // one 1 ms bus frame
// Descriptor status of a stream packet lost on the bus (as a host controller
// reports a failed isochronous packet).
constexpr uint32_t kFailedPacketStatus = 0xC0000011;
constexpr std::size_t kIsoMaxPacket = 60;    // endpoint 0x88
constexpr std::size_t kBulkMaxPacket = 64;   // endpoints 0x02 and 0x82
constexpr uint32_t kMaxTransferSize = 4096;  // reported in PipeInfo
constexpr uint32_t kPipeIsoIn = 0;           // pipe indices of the running firmware
constexpr uint32_t kPipeBulkOut = 1;
constexpr uint32_t kPipeBulkIn = 2;

// ---- Pure helpers -------------------------------------------------------------

// The value (0..4095) of `signal` at unit time `seconds`, for the channel's
// conversion number `n` (Counter, noise), on a unit with `variantBits`.
uint16_t signalValue(const Signal& signal, double seconds, uint64_t n, uint32_t seed, int channel,
                     int variantBits);

// A signal with the constants its every value needs worked out once; the
// values are those of signalValue exactly.
struct SignalPlan {
    Signal signal;
    double phaseTurns = 0;  // phaseDeg / 360
    double margin = 0;  // closeness to a rounding boundary that the fast sine leaves to std::sin
    int64_t counterStart = 0;
};
SignalPlan planSignal(const Signal& signal);
uint16_t planValue(const SignalPlan& plan, double seconds, uint64_t n, uint32_t seed, int channel,
                   int variantBits);

// Three stream bytes for one slot: (slot<<1)|1, ((v&0x7F)<<1)|1, (v>>7)<<1.
std::array<uint8_t, 3> encodeSample(uint8_t slot, uint16_t value);

// Channel 1..11 of a multiplexer code (16 x (11 - c)); 0 for codes naming no
// input (high nibble above 10).
int channelOfCode(uint8_t code);

// Valid default identity record of a variant (checksum sealed).
std::array<uint8_t, 64> defaultIdentity(int variantBits, int serial);

usb::DeviceDescriptor descriptorFor(FirmwareState firmware);
// Pipe list of the selected interface 0/0 (three pipes when firmware runs,
// none on a blank controller).
usb::InterfaceInfo interfaceInfoFor(FirmwareState firmware);
bool firmwareRuns(FirmwareState firmware);

// Checks a whole firmware image (array of 22-byte records ending in a record
// of length 0). Returns false with a reason when malformed.
bool validateFirmwareImage(const uint8_t* image, std::size_t length, std::string* reason);

// Number of conversions j >= 1 of a timer started at tick `start` with period
// `period` that happened strictly before tick `t` (at start + j * period).
uint64_t conversionsBefore(uint64_t start, uint64_t period, uint64_t t);

// ---- The unit ----------------------------------------------------------------

// Result of one control request handled by the unit.
struct ControlResult {
    bool ok = false;
    uint32_t returned = 0;
    bool wouldBlock = false;   // stream read: no packet yet; wait for the next frame and retry
    bool reenumerate = false;  // a firmware download took effect: the unit leaves the bus
};

class UnitModel {
  public:
    explicit UnitModel(const UnitConfig& config, int serial = 0);

    // ---- Time ----
    // Unit time in 4 MHz ticks since plugging. A unit with a real clock is told
    // the time before each request (it never goes back); a fast-clock unit
    // ignores this and advances only through stream reads.
    void syncTime(uint64_t tick);
    uint64_t now() const { return now_; }
    uint32_t frameNumber() const;
    // Generates conversions and frame packets up to now().
    void advance();

    // ---- Driver requests on this unit (handle bookkeeping is the caller's) ----
    // `streamOwner` identifies the handle (stream reception belongs to it).
    ControlResult control(int64_t streamOwner, uint32_t code, const void* in, uint32_t inLength,
                          void* out, uint32_t outLength);
    void handleClosed(int64_t owner);  // stops that handle's stream reception
    bool streamReceiving() const { return receiving_; }
    // True when `owner` receives the stream and fewer than `frames` packets
    // are queued; *readyTick is then the tick at which `frames` will be.
    bool streamBatchPending(int64_t owner, uint32_t frames, uint64_t* readyTick) const;

    // ---- Firmware side (also reached through control()) ----
    void commandPacket(const uint8_t* data, std::size_t length);
    // Bulk IN: one queued reply, up to `length` bytes; false when none queued.
    bool readReply(uint8_t* out, std::size_t length, uint32_t* returned);
    std::size_t repliesQueued() const { return replies_.size(); }

    // The unit is back on the bus after a download, running firmware rev 1.
    void reenumerated();
    // Pulled off the bus: everything stops.
    void unplugged();

    // ---- Observation and settings ----
    const UnitConfig& config() const { return config_; }
    std::array<uint8_t, 64> identity() const { return identity_; }
    void setIdentity(const std::array<uint8_t, 64>& r) { identity_ = r; }
    void setSignal(int channel, const Signal& s);  // 1..11
    Signal signal(int channel) const;
    const std::deque<std::vector<uint8_t>>& commandLog() const { return commandLog_; }
    void clearCommandLog() { commandLog_.clear(); }
    bool indicatorOn() const { return indicator_; }
    uint8_t outputs() const { return outputs_; }
    bool sampling() const { return sampling_; }
    FirmwareState firmware() const { return firmware_; }
    int downloads() const { return downloads_; }
    const UnitStats& stats() const { return stats_; }
    uint64_t conversionsOf(int channel) const { return channelConversions_.at(channel); }
    void setReenumerateDelay(uint32_t ms) { config_.reenumerateDelayMs = ms; }

    // ---- Faults ----
    void failDescriptorRead(bool fail) { failDescriptor_ = fail; }
    void failTransfersAfter(uint32_t pipe, int okCount);
    void shortIdentityReply(bool s) { shortIdentity_ = s; }
    void overlongStreamPacket(bool once) { overlong_ = once; }
    void overlongStreamPackets(uint32_t everyNth) { overlongEvery_ = everyNth; }
    void dropFrames(uint32_t everyNth) {
        dropFramesEvery_ = everyNth;
        framesSeen_ = 0;
    }
    void dropBytes(uint32_t everyNth) {
        dropBytesEvery_ = everyNth;
        streamBytesSeen_ = 0;
    }
    void converterNotReady(int count) { notReady_ = count; }

  private:
    struct Packet {
        uint16_t length = 0;
        bool failed = false;  // lost on the bus: delivered empty with an error status
        std::array<uint8_t, kIsoMaxPacket> data{};
    };

    bool pipeTransferAllowed(uint32_t pipe);
    void stopSampling();
    uint16_t convert(int channelCode, uint64_t tick);
    // Runs the conversions before tick `t`; appends their bytes to the frame
    // being built when `keepBytes`, else only counts them.
    void convertUpTo(uint64_t t, bool keepBytes);
    void emitFrame();
    void startDownload();
    ControlResult readStream(const usb::IsoStreamParams& params, uint8_t* out, uint32_t outLength);
    ControlResult vendorRequest(const usb::VendorRequest& request);

    UnitConfig config_;
    FirmwareState firmware_;
    std::array<uint8_t, 64> identity_{};
    uint64_t now_ = 0;

    // Firmware state.
    std::array<uint8_t, kBulkMaxPacket> outBuffer_{};  // the command pipe's endpoint buffer
    std::deque<std::vector<uint8_t>> replies_;
    std::deque<std::vector<uint8_t>> commandLog_;
    bool indicator_ = false;
    uint8_t outputs_ = 0;
    uint8_t maskRegister_ = 0;
    bool interfaceSelected_ = false;
    int downloads_ = 0;

    // Sampling timer.
    bool sampling_ = false;
    uint64_t samplingStart_ = 0;  // tick of the sampling command
    uint64_t period_ = 1;         // ticks per slot
    uint8_t scanLength_ = 0;
    std::array<uint8_t, 11> scanList_{};
    uint64_t conversionsDone_ = 0;  // since samplingStart_
    std::array<uint64_t, 12> channelConversions_{};

    // Frames.
    uint64_t frame_ = 0;  // frame being built (all earlier ones emitted)
    Packet building_;

    // Stream reception (the driver side).
    bool receiving_ = false;
    int64_t streamOwner_ = -1;
    usb::IsoStreamParams streamParams_{};
    std::deque<Packet> queue_;
    uint64_t backlogLimit_ = 3200;

    // Host download path.
    bool cpuReset_ = false;
    bool memoryWritten_ = false;

    // Faults.
    bool failDescriptor_ = false;
    std::map<uint32_t, int> transferBudget_;
    bool shortIdentity_ = false;
    bool overlong_ = false;
    uint32_t overlongEvery_ = 0;
    uint32_t dropFramesEvery_ = 0;
    uint32_t dropBytesEvery_ = 0;
    uint64_t framesSeen_ = 0;
    uint64_t streamBytesSeen_ = 0;
    int notReady_ = 0;

    UnitStats stats_;
    std::array<SignalPlan, 11> plans_;  // of config_.signals
};

}  // namespace trelvo::sim
