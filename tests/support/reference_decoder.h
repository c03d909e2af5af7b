// The plain stream decoder: one byte at a time, the slot sums and counts in
// arrays, no fast path. Tests and the differential fuzz target compare the
// library's StreamDecoder with it; both must deliver the same readings, the
// same completions and the same counts for any stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/sample_ring.h"
#include "device/sampling.h"
#include "device/stream_decoder.h"

namespace trelvo::testing {

class ReferenceDecoder {
  public:
    using Completion = device::StreamDecoder::Completion;

    void startCapture(const device::DecoderConfig& config, const device::CaptureCounts& counts);
    Completion decode(const uint8_t* bytes, std::size_t length, device::SampleRing& ring);
    void dataLost();
    void forceTrigger() { triggered_ = true; }
    bool triggered() const { return triggered_; }
    const device::CaptureCounts& counts() const { return counts_; }

  private:
    void clearReading();

    device::DecoderConfig config_;
    device::CaptureCounts counts_;
    bool triggered_ = false;
    bool triggerWasAbove_ = false;
    int64_t slotSum_[device::kMaxScanSlots] = {};
    uint32_t slotSamples_[device::kMaxScanSlots] = {};
    unsigned expectedSlot_ = 0;
    bool started_ = false;
    bool broken_ = false;
    uint8_t prevOddByte_ = 0;
    uint8_t lastOddByte_ = 0;
    uint64_t oddBytesSinceEven_ = 0;
};

}  // namespace trelvo::testing
