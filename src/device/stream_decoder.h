// Trigger and sample-stream decoding: turns the three-byte samples of the
// stream pipe into averaged readings, tests the trigger and counts the
// readings after it. Pure logic without threads or I/O: the unit's worker
// feeds it blocks and acts on the state it reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/sample_ring.h"
#include "device/sampling.h"

namespace trelvo::device {

constexpr int32_t kMethodBlock = 0;
constexpr int32_t kMethodWindow = 1;
constexpr int32_t kMethodStream = 2;

struct TriggerSettings {
    uint8_t enabled = 0;
    uint8_t autoTrigger = 0;
    uint32_t autoTriggerMs = 0;  // 0x7FFFFFFF once used up
    uint8_t mux = 0;             // kChannelMuxCode of the trigger channel
    uint8_t falling = 0;
    int16_t threshold = 0;
    int16_t delayPercent = 0;
};

constexpr uint32_t kAutoTriggerUsedUp = 0x7FFFFFFF;

struct CaptureCounts {
    int32_t preTriggerCountdown = 0;
    int32_t streamKeepReadings = 0;
    int32_t postTriggerCount = 0;
};

// Pre- and post-trigger counts of a capture of sampleCount readings per
// channel with the given method.
CaptureCounts captureCounts(const TriggerSettings& trigger, uint32_t sampleCount,
                            int32_t captureMethod);

// What one capture decodes with; fixed for the capture.
struct DecoderConfig {
    uint8_t channelCount = 1;
    uint8_t scanLength = 1;
    uint8_t triggerSlot = 0;
    uint16_t oversample = 1;
    int32_t variant = 2;  // 1: readings masked to 10 bits
    int32_t captureMethod = kMethodBlock;
    uint8_t triggerEnabled = 0;
    uint8_t triggerFalling = 0;
    int16_t triggerThreshold = 0;
};

class StreamDecoder {
  public:
    enum class Completion {
        None,            // capture still running
        ReadyCapturing,  // window/stream capture complete; keep decoding
        ReadyHalted,     // block capture complete; rest of the block dropped
    };

    // Starts a capture: clears the slot sums and counts and the triggered
    // flag, arms the trigger history; keeps the odd-byte history, which
    // carries over from capture to capture. A config that no channel list
    // gives is brought into range: scanLength to 1..11, channelCount to at
    // most scanLength, oversample 0 to 1; a triggerSlot past the scan reads
    // as "no samples" (trigger value 0xFFFF).
    void startCapture(const DecoderConfig& config, const CaptureCounts& counts);

    // Decodes one block, pushing its readings into `ring` in one push at the
    // end (and trimming the ring once when a stream capture triggers).
    // Returns the completion reached in this block, if any. After completion
    // the post-trigger count keeps falling and stops at INT32_MIN, so it
    // never comes back round to 0.
    Completion decode(const uint8_t* bytes, std::size_t length, SampleRing& ring);

    // Auto-trigger: marks the capture as triggered; counting starts with the
    // next complete reading.
    void forceTrigger() { triggered_ = true; }

    bool triggered() const { return triggered_; }
    const CaptureCounts& counts() const { return counts_; }

  private:
    DecoderConfig config_;
    CaptureCounts counts_;
    bool triggered_ = false;
    bool triggerWasAbove_ = false;
    // Wider than one reading needs (oversample <= 65535 samples of at most
    // 16383): a malformed stream can pile any number of samples on a slot
    // other than the last before the last slot completes the reading.
    int64_t slotSum_[kMaxScanSlots] = {};
    uint32_t slotSamples_[kMaxScanSlots] = {};
    uint8_t prevOddByte_ = 0;
    uint8_t lastOddByte_ = 0;
    std::vector<uint16_t> output_;  // reused across blocks
};

}  // namespace trelvo::device
