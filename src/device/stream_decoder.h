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

// Exact floor(n / d) for 0 <= n < 2^31 and 1 <= d <= 65535 by one multiply
// and shift: m = ceil(2^(31+l) / d) with l = ceil(log2 d), so that m * n
// stays below 2^64. Averages of in-order readings (at most 65535 samples of
// at most 16383) are always in that range.
class ReadingDivider {
  public:
    explicit ReadingDivider(uint32_t d = 1);
    uint32_t operator()(uint32_t n) const {
        return static_cast<uint32_t>((static_cast<uint64_t>(n) * multiplier_) >> shift_);
    }

  private:
    uint64_t multiplier_ = uint64_t{1} << 31;
    unsigned shift_ = 31;
};

class StreamDecoder {
  public:
    enum class Completion {
        None,            // capture still running
        ReadyCapturing,  // window/stream capture complete; keep decoding
        ReadyHalted,     // block capture complete; rest of the block dropped
    };

    // Starts a capture: clears the slot sums and counts and the triggered
    // flag, arms the trigger history. The odd-byte history is kept, but the
    // stream read between captures was flushed, so a sample whose odd bytes
    // came before this start is not taken as whole (its reading is dropped).
    // A config that no channel list gives is brought into range: scanLength
    // to 1..11, channelCount to at most scanLength, oversample 0 to 1; a
    // triggerSlot past the scan reads as "no samples" (trigger value 0xFFFF).
    void startCapture(const DecoderConfig& config, const CaptureCounts& counts);

    // Decodes one block, pushing its readings into `ring` in one push at the
    // end (and trimming the ring once when a stream capture triggers).
    // Returns the completion reached in this block, if any. After completion
    // the post-trigger count keeps falling and stops at INT32_MIN, so it
    // never comes back round to 0.
    //
    // A reading takes its slots in scan order: oversample scans, each slot 0
    // to scanLength - 1, every sample whole (two odd bytes, then its even
    // byte). A reading that breaks that order (lost or damaged bytes, a lost
    // packet) still completes when its last slot has oversample samples and
    // still counts for the trigger, but delivers no value: its channels may
    // come from different scans.
    Completion decode(const uint8_t* bytes, std::size_t length, SampleRing& ring);

    // Called by the worker when stream bytes were lost between two decoded
    // blocks (a failed read, a lost packet): the reading in progress is
    // dropped, and the odd bytes before the loss do not make a whole sample
    // with what follows. `conversions` is how many the unit made in the
    // time the lost data covered (0: unknown), so that the readings after
    // the loss keep their true indices.
    void dataLost(uint64_t conversions = 0);

    // Readings missing before a delivered reading: `readings` readings per
    // channel are missing just before the value at `valueOffset` of the
    // block's output (its first value is pushed to the ring first).
    struct Loss {
        std::size_t valueOffset = 0;
        uint64_t readings = 0;
    };
    // The losses found by the last decode(), in order. A reading's index is
    // counted from the first reading delivered in the capture by the
    // conversions seen since (every sample, whole or not, and those reported
    // by dataLost), so readings that complete damaged, and data lost without
    // a mark (a lost byte), show here too.
    const std::vector<Loss>& losses() const { return losses_; }

    // Auto-trigger: marks the capture as triggered; counting starts with the
    // next complete reading.
    void forceTrigger() { triggered_ = true; }

    bool triggered() const { return triggered_; }
    const CaptureCounts& counts() const { return counts_; }

  private:
    // Decodes bytes one at a time from `i` until the reading in progress
    // completes (true) or the block ends. Handles every stream, well formed
    // or not. `stop` is set when a block capture completed.
    bool decodeSlowly(const uint8_t* bytes, std::size_t length, std::size_t& i, SampleRing& ring,
                      Completion& completion, bool& stop);
    // Trigger test, stream trim and post-trigger count for a reading that
    // just completed, whose values (if any) end output at outCount. Returns
    // true when a block capture completed and the block must stop.
    bool afterReading(uint16_t triggerValue, std::size_t outCount, SampleRing& ring,
                      Completion& completion);
    void clearReading();
    // Readings that can be taken without the trigger test: triggered, the
    // countdown and the stream trim done, and short of the reading that
    // completes the capture. 0 when the next reading needs the full test.
    std::size_t steadyReadings() const;
    // Counts m such readings: the post-trigger count falls, stopping at INT32_MIN.
    void countSteadyReadings(std::size_t m);
    // Take up to `room` whole in-order readings at p (one slot, no
    // oversampling / any setting), writing their values to out; return how
    // many were taken before the first that is not whole and in order.
    static std::size_t takeSingleSlotReadings(const uint8_t* p, std::size_t room, uint16_t* out,
                                              uint16_t mask, bool deliver);
    std::size_t takeReadings(const uint8_t* p, std::size_t room, uint16_t* out,
                             uint16_t mask) const;

    // A reading that starts at conversion `start` is about to deliver its
    // values at outCount_: notes a loss when its index skips readings.
    void deliverAt(uint64_t start);

    DecoderConfig config_;
    CaptureCounts counts_;
    // Conversion accounting (see losses()).
    uint64_t conversions_ = 0;   // samples seen since startCapture, plus those lost
    uint64_t readingStart_ = 0;  // conversion at which the reading in progress began
    uint64_t origin_ = 0;        // start of the first delivered reading
    bool haveOrigin_ = false;
    // The conversions a loss cost were estimated from the unit's clock: the
    // slot of the first sample after it may correct the estimate by one.
    bool lossEstimated_ = false;
    uint64_t nextIndex_ = 0;   // index the next delivered reading has without a loss
    uint64_t perReading_ = 1;  // conversions per reading
    std::vector<Loss> losses_;
    ReadingDivider divider_;
    bool triggered_ = false;
    bool triggerWasAbove_ = false;
    // Reading in progress. Wider than one reading needs (oversample <= 65535
    // samples of at most 16383): a broken stream can pile any number of
    // samples on a slot other than the last before the last slot completes
    // the reading.
    int64_t slotSum_[kMaxScanSlots] = {};
    uint32_t slotSamples_[kMaxScanSlots] = {};
    unsigned expectedSlot_ = 0;  // next slot in scan order
    bool started_ = false;       // the reading has taken a sample (or lost one)
    bool broken_ = false;        // a sample came out of order: deliver nothing
    uint8_t prevOddByte_ = 0;
    uint8_t lastOddByte_ = 0;
    uint8_t oddBytesSinceEven_ = 0;  // 0..255 (saturating)
    std::vector<uint16_t> output_;   // grown, never shrunk: no per-block allocation
    std::size_t outCount_ = 0;
};

}  // namespace trelvo::device
