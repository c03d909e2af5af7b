#include "device/stream_decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "device/identity.h"

namespace trelvo::device {

namespace {

constexpr double kTwoTo32 = 4294967296.0;

// The low 32 bits of a whole number held in a double, as a signed value.
// Counts are "kept as 32 bits"; a plain conversion would be undefined for
// values outside the int32 range (large reading counts with a large delay).
int32_t wrapToInt32(double whole) {
    if (std::isnan(whole)) return 0;
    double low = std::fmod(whole, kTwoTo32);  // (-2^32, 2^32), exact
    if (low < 0) low += kTwoTo32;
    return static_cast<int32_t>(static_cast<uint32_t>(low));
}

constexpr uint16_t kTenBitMask = 0xFFFC;

}  // namespace

CaptureCounts captureCounts(const TriggerSettings& trigger, uint32_t sampleCount,
                            int32_t captureMethod) {
    CaptureCounts counts;
    if (trigger.enabled != 0) {
        const double post = std::trunc((static_cast<double>(trigger.delayPercent) + 100.0) *
                                       static_cast<double>(sampleCount) / 100.0);
        counts.postTriggerCount = wrapToInt32(post);
        // Unsigned 32-bit arithmetic, then compared as a signed count.
        const auto pre =
            static_cast<int32_t>(sampleCount - static_cast<uint32_t>(counts.postTriggerCount) + 3u);
        counts.preTriggerCountdown = pre < 5 ? 5 : pre;
    } else {
        counts.postTriggerCount = static_cast<int32_t>(sampleCount);
        counts.preTriggerCountdown = 5;
    }
    if (captureMethod == kMethodStream) counts.postTriggerCount = 10;
    counts.streamKeepReadings = counts.preTriggerCountdown;
    return counts;
}

void StreamDecoder::startCapture(const DecoderConfig& config, const CaptureCounts& counts) {
    // The settings are copied once, so a change made while the capture runs
    // never shows the decoder a half-written value. Values that no channel
    // list can produce are brought into range, so that no slot index leaves
    // the eleven slots.
    config_ = config;
    config_.scanLength = std::clamp<uint8_t>(config.scanLength, 1, kMaxScanSlots);
    config_.channelCount = std::min(config.channelCount, config_.scanLength);
    if (config_.oversample == 0) config_.oversample = 1;

    counts_ = counts;
    triggered_ = false;
    triggerWasAbove_ = config_.triggerFalling != 0;
    std::fill(std::begin(slotSum_), std::end(slotSum_), 0);
    std::fill(std::begin(slotSamples_), std::end(slotSamples_), 0);
    // prevOddByte_ and lastOddByte_ are kept: a sample may straddle captures.
}

StreamDecoder::Completion StreamDecoder::decode(const uint8_t* bytes, std::size_t length,
                                                SampleRing& ring) {
    Completion completion = Completion::None;
    output_.clear();
    if (bytes == nullptr) length = 0;
    // A run of even bytes can complete one reading per byte, and the first
    // reading may also carry every slot's samples from the previous block:
    // this bound keeps push_back from reallocating in the loop. The vector is
    // reused, so a steady stream allocates nothing.
    output_.reserve(length + kMaxScanSlots);

    const unsigned scanLength = config_.scanLength;
    const unsigned lastSlot = scanLength - 1;
    const unsigned channelCount = config_.channelCount;
    const uint32_t oversample = config_.oversample;
    const unsigned triggerSlot = config_.triggerSlot;
    const bool tenBit = config_.variant == kVariant10Bit;

    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t byte = bytes[i];
        if (byte & 1) {
            prevOddByte_ = lastOddByte_;
            lastOddByte_ = byte;
            continue;
        }
        const unsigned slot = prevOddByte_ >> 1;
        if (slot >= scanLength) continue;  // not a slot of this scan: dropped
        slotSum_[slot] += static_cast<int64_t>((byte >> 1) * 128 + (lastOddByte_ >> 1));
        slotSamples_[slot] += 1;
        if (slotSamples_[lastSlot] < oversample) continue;

        // A reading is complete. The trigger looks at the unmasked average.
        uint16_t triggerValue = 0xFFFF;
        if (triggerSlot < scanLength && slotSamples_[triggerSlot] > 0)
            triggerValue = static_cast<uint16_t>(slotSum_[triggerSlot] / slotSamples_[triggerSlot]);

        // A reading delivers a value for every listed channel or none at all:
        // one that lacks a slot (lost bytes, or the first scan after the
        // flush at a capture start) is dropped whole, so the readings in the
        // ring stay aligned with the channel list.
        bool whole = true;
        for (unsigned k = 0; k < channelCount; ++k) whole = whole && slotSamples_[k] > 0;
        for (unsigned k = 0; k < channelCount; ++k) {
            if (whole) {
                auto value = static_cast<uint16_t>(slotSum_[k] / slotSamples_[k]);
                if (tenBit) value &= kTenBitMask;
                output_.push_back(value);
            }
            slotSum_[k] = 0;
            slotSamples_[k] = 0;
        }
        for (unsigned k = channelCount; k < scanLength; ++k) {
            slotSum_[k] = 0;  // the appended trigger slot delivers no value
            slotSamples_[k] = 0;
        }

        const bool above = static_cast<int32_t>(triggerValue) > config_.triggerThreshold;
        if (counts_.preTriggerCountdown > 0) {
            --counts_.preTriggerCountdown;
        } else if (config_.triggerEnabled == 0) {
            triggered_ = true;
        } else if (config_.triggerFalling != 0) {
            if (!above && triggerWasAbove_) triggered_ = true;
        } else if (above && !triggerWasAbove_) {
            triggered_ = true;
        }
        triggerWasAbove_ = above;

        if (!triggered_) continue;
        if (config_.captureMethod == kMethodStream && counts_.streamKeepReadings != 0) {
            // Keep only the most recent readings before the trigger; the
            // values of this block are not in the ring yet and are all kept.
            const int64_t surplus = static_cast<int64_t>(ring.count()) +
                                    static_cast<int64_t>(output_.size()) -
                                    static_cast<int64_t>(channelCount) *
                                        static_cast<int64_t>(counts_.streamKeepReadings);
            if (surplus > 0) {
                auto n = static_cast<int32_t>(std::min<int64_t>(surplus, INT32_MAX));
                ring.discardOldest(n);
            }
            counts_.streamKeepReadings = 0;
        }
        // After completion the count keeps falling in window and stream
        // captures; it stops at the lowest value instead of wrapping round
        // to 0 and completing a second time.
        if (counts_.postTriggerCount == INT32_MIN) continue;
        if (--counts_.postTriggerCount != 0) continue;
        if (config_.captureMethod == kMethodBlock) {
            completion = Completion::ReadyHalted;
            break;  // the rest of the block is dropped
        }
        if (config_.captureMethod == kMethodWindow || config_.captureMethod == kMethodStream)
            completion = Completion::ReadyCapturing;
    }

    if (!output_.empty()) {
        // A ring never holds more than INT32_MAX readings, so of a (huge)
        // list only that many newest values can matter.
        const std::size_t n = std::min<std::size_t>(output_.size(), INT32_MAX);
        ring.push(output_.data() + (output_.size() - n), static_cast<int32_t>(n));
    }
    return completion;
}

}  // namespace trelvo::device
